// The ingestion methods: a data file through the pipeline, and Python records converted to rows
// and handed to the pipeline's records road.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
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

// One Python value as a cell of `table`; texts are kept by the table.
ingest::Cell convert_value(ingest::RowTable& table, PyObject* value) {
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
  if (const auto integer = as_int64(value)) {
    // Non-negative integers travel as unsigned, like every other row source.
    if (*integer >= 0) return Cell::unsigned_integer(static_cast<std::uint64_t>(*integer));
    return Cell::signed_integer(*integer);
  }
  if (const auto real = as_double(value)) {
    if (!std::isfinite(*real)) return Cell();
    return Cell::floating(*real);
  }
  if (PyUnicode_Check(value)) return Cell::text(table.keep_text(utf8_view(value)));
  PyRef text(PyObject_Str(value));
  if (!text) throw PythonErrorSet{};
  return Cell::text(table.keep_text(utf8_view(text.get())));
}

[[noreturn]] void dict_changed(const char* message) {
  raise_internal_error(message);
  throw PythonErrorSet{};
}

// The column of the key met at each place of the previous dicts: records built alike share their
// key objects, so the name is read and looked up only when the object differs. Each key object
// is held, so that no other object can take its address while it is remembered.
class ColumnsByPlace {
 public:
  std::uint32_t column(ingest::RowTable& table, std::size_t place, PyObject* key) {
    if (place < places_.size() && places_[place].first.get() == key) return places_[place].second;
    const std::uint32_t id = table.intern(utf8_view(key));
    if (place >= places_.size()) places_.resize(place + 1);
    places_[place] = {PyRef::borrow(key), id};
    return id;
  }

 private:
  std::vector<std::pair<PyRef, std::uint32_t>> places_;
};

// Walks the dict in its own order. A value's conversion can run Python code that changes the
// dict, so each entry is held by an owned reference and the size is checked before every step.
void add_dict_row(ingest::RowTable& table, ColumnsByPlace& columns, PyObject* dict) {
  const Py_ssize_t initial_size = PyDict_Size(dict);
  Py_ssize_t remaining = initial_size;
  Py_ssize_t position = 0;
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
    table.put(column, convert_value(table, value.get()));
  }
  table.end_row();
}

// Each dict becomes one row, in list order, while the element's index is below both the starting
// length and the current length of the list. Nothing reaches the database before all succeed.
ingest::RowTable records_to_rows(PyObject* records) {
  ingest::RowTable table;
  ColumnsByPlace columns;
  const Py_ssize_t initial_length = PyList_GET_SIZE(records);
  for (Py_ssize_t i = 0; i < initial_length && i < PyList_GET_SIZE(records); ++i) {
    PyRef element = list_item(records, i);
    if (!PyDict_Check(element.get())) {
      raise_not_instance(PyExc_TypeError, element.get(), "dict");
      throw PythonErrorSet{};
    }
    add_dict_row(table, columns, element.get());
  }
  return table;
}

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
    const ingest::RowTable table = records_to_rows(records);
    return report_object(ingest::IngestionPipeline::ingest_records(state.database, table));
  });
}

}  // namespace quib::binding
