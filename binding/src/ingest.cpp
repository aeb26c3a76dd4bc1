// The ingestion methods: a data file through the pipeline, and Python records converted to rows
// and handed to the pipeline's records road.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "handle.h"
#include "ingest/pipeline.h"

namespace quib::binding {
namespace {

// The borrowed item at `index`, as an owned reference: converting it may run Python code that
// changes the list.
PyRef list_item(PyObject* list, Py_ssize_t index) {
#if PY_VERSION_HEX >= 0x030D0000
  PyRef item(PyList_GetItemRef(list, index));
  if (!item) throw PythonErrorSet{};
  return item;
#else
  return PyRef::borrow(PyList_GET_ITEM(list, index));
#endif
}

// numpy's boolean scalar is neither a bool nor an int subclass; it is recognised by its type.
bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

std::optional<std::int64_t> long_as_int64(PyObject* number) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (overflow != 0) return std::nullopt;
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return value;
}

// An int in the signed 64-bit range, or any object whose integer index is.
std::optional<std::int64_t> as_int64(PyObject* value) {
  if (PyLong_Check(value)) return long_as_int64(value);
  const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr || number->nb_index == nullptr) return std::nullopt;
  PyRef index(PyNumber_Index(value));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  return long_as_int64(index.get());
}

// A float, an int within the float range, or any object with a float conversion.
std::optional<double> as_double(PyObject* value) {
  if (PyFloat_Check(value)) return PyFloat_AS_DOUBLE(value);
  const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)) {
    return std::nullopt;
  }
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return result;
}

ingest::Cell integer_cell(std::int64_t integer) {
  // Non-negative integers travel as unsigned, like every other row source.
  if (integer >= 0) return ingest::Cell::unsigned_integer(static_cast<std::uint64_t>(integer));
  return ingest::Cell::signed_integer(integer);
}

// One Python value of any type as a cell of `table`; texts are kept by the table.
ingest::Cell convert_any_value(ingest::RowTable& table, PyObject* value) {
  using ingest::Cell;
  if (value == Py_None) return Cell();
  if (PyBool_Check(value)) return Cell::boolean(value == Py_True);
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw PythonErrorSet{};
    return Cell::boolean(truth != 0);
  }
  // A plain `str` has no number conversion; a subclass of it may have one, which then wins.
  if (PyUnicode_CheckExact(value)) return Cell::text(table.keep_text(utf8_view(value)));
  if (const auto integer = as_int64(value)) return integer_cell(*integer);
  if (const auto real = as_double(value)) {
    if (!std::isfinite(*real)) return Cell();
    return Cell::floating(*real);
  }
  if (PyUnicode_Check(value)) return Cell::text(table.keep_text(utf8_view(value)));
  PyRef text(PyObject_Str(value));
  if (!text) throw PythonErrorSet{};
  return Cell::text(table.keep_text(utf8_view(text.get())));
}

// The exact built-in types that records hold most, read directly; every other value, and an int
// beyond 64 bits, takes the general road, which gives these the same cells.
ingest::Cell convert_value(ingest::RowTable& table, PyObject* value) {
  using ingest::Cell;
  PyTypeObject* const type = Py_TYPE(value);
  if (type == &PyUnicode_Type) return Cell::text(table.keep_text(utf8_view(value)));
  if (type == &PyFloat_Type) {
    const double real = PyFloat_AS_DOUBLE(value);
    return std::isfinite(real) ? Cell::floating(real) : Cell();
  }
  if (type == &PyLong_Type) {
    if (const auto integer = long_as_int64(value)) return integer_cell(*integer);
  }
  return convert_any_value(table, value);
}

[[noreturn]] void dict_changed(const char* message) {
  raise_internal_error(message);
  throw PythonErrorSet{};
}

// The column of each key object met, in the table being filled. Records built alike share their
// key objects, so a key's name is read and looked up once per object and table; the key at the
// same place of the previous record is tried first, then every key remembered, whatever the
// order of the dict. Each key object is held, so that no other object can take its address
// while it is remembered; records that bring new key objects each time are forgotten in bulk.
class KeyColumns {
 public:
  // The table changes: every column remembered belonged to the previous one.
  void next_table() { ++table_stamp_; }

  std::uint32_t column(ingest::RowTable& table, std::size_t place, PyObject* key) {
    std::uint32_t index = place < by_place_.size() ? by_place_[place] : kNone;
    if (index == kNone || keys_[index].key.get() != key) {
      index = find_or_add(key);
      if (place >= by_place_.size()) by_place_.resize(place + 1, kNone);
      by_place_[place] = index;
    }
    Key& found = keys_[index];
    if (found.stamp != table_stamp_) {
      found.column = table.intern(utf8_view(key));
      found.stamp = table_stamp_;
    }
    return found.column;
  }

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  static constexpr std::size_t kMostKeys = 4096;
  struct Key {
    PyRef key;
    std::uint32_t column = 0;
    std::uint64_t stamp = 0;  // of the table `column` belongs to
  };

  std::uint32_t find_or_add(PyObject* key) {
    if (const auto it = index_of_.find(key); it != index_of_.end()) return it->second;
    if (keys_.size() == kMostKeys) {
      keys_.clear();
      index_of_.clear();
      by_place_.assign(by_place_.size(), kNone);
    }
    const auto index = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(Key{PyRef::borrow(key), 0, 0});
    index_of_.emplace(key, index);
    return index;
  }

  std::vector<Key> keys_;
  std::unordered_map<PyObject*, std::uint32_t> index_of_;
  std::vector<std::uint32_t> by_place_;  // the key last met at each place of a dict
  std::uint64_t table_stamp_ = 1;
};

// The fields of one dict, gathered in the dict's order and handed to the table in name order.
// Records built alike list the same columns in the same order, so the order found for one
// record serves the next while its columns agree; for a name met twice the later value wins.
class RowFields {
 public:
  // The table changes: the column ids of the last record belonged to the previous one.
  void next_table() { last_columns_.clear(); }

  void clear() { gathered_.clear(); }
  // Fields of the last record.
  std::size_t width() const { return fields_.size(); }
  void add(std::uint32_t column, ingest::Cell value) {
    ingest::Field& field = gathered_.emplace_back();
    field.column = column;
    field.value = value;
  }

  void end_row(ingest::RowTable& table) {
    if (!same_columns()) find_order(table);
    fields_.resize(order_.size());
    for (std::size_t k = 0; k < order_.size(); ++k) fields_[k] = gathered_[order_[k]];
    table.add_sorted_row(fields_);
  }

 private:
  bool same_columns() const {
    if (gathered_.size() != last_columns_.size() || last_columns_.empty()) return false;
    for (std::size_t i = 0; i < gathered_.size(); ++i) {
      if (gathered_[i].column != last_columns_[i]) return false;
    }
    return true;
  }

  void find_order(const ingest::RowTable& table) {
    order_.resize(gathered_.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
      return table.column_name(gathered_[a].column) < table.column_name(gathered_[b].column);
    });
    // Of a run of one column, keep the last.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < order_.size(); ++i) {
      if (i + 1 < order_.size() && gathered_[order_[i + 1]].column == gathered_[order_[i]].column) {
        continue;
      }
      order_[kept++] = order_[i];
    }
    order_.resize(kept);
    last_columns_.clear();
    for (const ingest::Field& field : gathered_) last_columns_.push_back(field.column);
  }

  std::vector<ingest::Field> gathered_;      // of this record, in the dict's order
  std::vector<std::uint32_t> last_columns_;  // of the record the order was found for
  std::vector<std::uint32_t> order_;         // positions of the kept fields in name order
  std::vector<ingest::Field> fields_;
};

// Walks the dict in its own order. A value's conversion can run Python code that changes the
// dict, so each entry is held by an owned reference and the size is checked before every step.
void add_dict_row(ingest::RowTable& table, KeyColumns& columns, RowFields& fields,
                  PyObject* dict) {
  const Py_ssize_t initial_size = PyDict_Size(dict);
  Py_ssize_t remaining = initial_size;
  Py_ssize_t position = 0;
  fields.clear();
  for (std::size_t place = 0;; ++place) {
    if (PyDict_Size(dict) != initial_size) dict_changed("dictionary changed size during iteration");
    if (remaining == -1) dict_changed("dictionary keys changed during iteration");
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) break;
    --remaining;
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef value = PyRef::borrow(borrowed_value);
    if (!PyUnicode_Check(key.get())) {
      raise_not_instance(PyExc_TypeError, key.get(), "str");
      throw PythonErrorSet{};
    }
    const std::uint32_t column = columns.column(table, place, key.get());
    fields.add(column, convert_value(table, value.get()));
  }
  fields.end_row(table);
}

// Records converted part by part on the calling thread, which holds the interpreter lock: the
// pool only ever sees the converted tables. Each dict becomes one row, in list order, while the
// element's index is below both the starting length and the current length of the list.
class RecordParts {
 public:
  // Small enough that the pool starts early, large enough to keep it busy while the next part
  // is converted.
  static constexpr Py_ssize_t kPartRecords = 32768;

  explicit RecordParts(PyObject* records)
      : records_(records), initial_length_(PyList_GET_SIZE(records)) {}

  // Converts the next part into `table`; false when no record is left.
  bool next(ingest::RowTable& table) {
    if (!left()) return false;
    columns_.next_table();
    fields_.next_table();
    const Py_ssize_t end = next_ + kPartRecords;
    // Records built alike have as many fields as the last one.
    table.reserve(static_cast<std::size_t>(std::min(end, initial_length_) - next_),
                  fields_.width());
    for (; next_ < end && left(); ++next_) {
      // The next record's object is the first thing its conversion reads.
      if (next_ + 1 < PyList_GET_SIZE(records_)) {
        __builtin_prefetch(PyList_GET_ITEM(records_, next_ + 1));
      }
      PyRef element = list_item(records_, next_);
      if (!PyDict_Check(element.get())) {
        raise_not_instance(PyExc_TypeError, element.get(), "dict");
        throw PythonErrorSet{};
      }
      add_dict_row(table, columns_, fields_, element.get());
    }
    return true;
  }

 private:
  bool left() const { return next_ < initial_length_ && next_ < PyList_GET_SIZE(records_); }

  PyObject* records_;
  const Py_ssize_t initial_length_;
  Py_ssize_t next_ = 0;
  KeyColumns columns_;
  RowFields fields_;
};

}  // namespace

namespace {

std::uint64_t unsigned_argument(const char* name, PyObject* value) {
  PyRef index(PyNumber_Index(value));
  if (!index) argument_error(name);
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) argument_error(name);
  return result;
}

// A sequence of `str`; a `str` itself is refused rather than read letter by letter.
std::vector<std::string> text_list_argument(const char* name, PyObject* value) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    argument_error(name);
  }
  if (!PySequence_Check(value)) {
    raise_not_instance(PyExc_TypeError, value, "Sequence");
    argument_error(name);
  }
  const Py_ssize_t length = PySequence_Size(value);
  if (length < 0) argument_error(name);
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    if (!item) argument_error(name);
    texts.push_back(text_argument(name, item.get()));
  }
  return texts;
}

constexpr std::uint64_t kIngestBatchSize = 10000;

// The five fields of the report, unchanged.
PyObject* report_object(const ingest::IngestReport& report) {
  return new_ingest_report({report.total_rows, report.processed_rows, report.skipped_rows,
                            report.distributions_updated, report.elapsed_ms})
      .release();
}

}  // namespace

PyObject* quibdb_ingest(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"path", "max_categories", "date_columns",
                                      "date_granularity", nullptr};
  PyObject* path = nullptr;
  PyObject* max_categories = nullptr;
  PyObject* date_columns = nullptr;
  PyObject* date_granularity = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:ingest", const_cast<char**>(names), &path,
                                   &max_categories, &date_columns, &date_granularity)) {
    return nullptr;
  }
  return run_method(self, Access::Exclusive, [&](QuibDBObject& handle) -> PyObject* {
    std::string path_text = text_argument("path", path);
    // The method's own defaults: at most 50 categories, yearly date buckets.
    ingest::InferConfig config = ingest::InferConfig::default_config();
    config.max_categories = 50;
    config.date_columns.clear();
    config.date_granularity = "yearly";
    if (max_categories != nullptr && max_categories != Py_None) {
      config.max_categories = unsigned_argument("max_categories", max_categories);
    }
    if (date_columns != nullptr && date_columns != Py_None) {
      config.date_columns = text_list_argument("date_columns", date_columns);
    }
    if (date_granularity != nullptr && date_granularity != Py_None) {
      config.date_granularity = text_argument("date_granularity", date_granularity);
    }
    OpenState& state = open_state(handle);
    const ingest::IngestReport report = ingest::IngestionPipeline::ingest_file_auto(
        state.database, std::move(path_text), std::move(config), kIngestBatchSize, false);
    return report_object(report);
  });
}

PyObject* quibdb_ingest_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"records", nullptr};
  PyObject* records = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:ingest_records", const_cast<char**>(names),
                                   &records)) {
    return nullptr;
  }
  return run_method(self, Access::Exclusive, [&](QuibDBObject& handle) -> PyObject* {
    if (!PyList_Check(records)) {
      raise_not_instance(PyExc_TypeError, records, "list");
      argument_error("records");
    }
    OpenState& state = open_state(handle);
    RecordParts parts(records);
    return report_object(ingest::IngestionPipeline::ingest_records(
        state.database, [&parts](ingest::RowTable& part) { return parts.next(part); }));
  });
}

}  // namespace quib::binding
