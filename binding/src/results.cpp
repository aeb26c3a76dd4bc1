// The frozen result classes: QueryResult, DatabaseStats and IngestReport.
//
// Instances come only from QuibDB methods and never change after they are built, so they need no
// access flag and may be read from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "module.h"

namespace quib::binding {
namespace {

constexpr unsigned int kFrozenFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

void dealloc_plain(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyRef alloc_instance(PyTypeObject* type) {
  if (type == nullptr) throw PythonErrorSet{};
  PyRef object(type->tp_alloc(type, 0));
  if (!object) throw PythonErrorSet{};
  return object;
}

PyRef py_uint(std::uint64_t value) {
  PyRef number(PyLong_FromUnsignedLongLong(value));
  if (!number) throw PythonErrorSet{};
  return number;
}

template <typename Texts>
PyRef py_list_of_str(const Texts& texts) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) throw PythonErrorSet{};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py_str(texts[i]).release());
  }
  return list;
}

// ---- QueryResult ----

struct QueryResultObject {
  PyObject_HEAD
  sql::QueryResult* table;
};

const sql::QueryResult& table_of(PyObject* self) {
  return *reinterpret_cast<QueryResultObject*>(self)->table;
}

void query_result_dealloc(PyObject* self) {
  delete reinterpret_cast<QueryResultObject*>(self)->table;
  dealloc_plain(self);
}

PyObject* query_result_header(PyObject* self, void*) {
  return guarded([&] { return py_list_of_str(table_of(self).columns).release(); });
}

PyObject* query_result_rows(PyObject* self, void*) {
  return guarded([&] {
    const auto& rows = table_of(self).rows;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) throw PythonErrorSet{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py_list_of_str(rows[i]).release());
    }
    return list.release();
  });
}

PyObject* query_result_to_csv(PyObject* self, PyObject*) {
  return guarded([&] { return py_str(table_of(self).to_csv()).release(); });
}

PyObject* query_result_to_json(PyObject* self, PyObject*) {
  return guarded([&] { return py_str(table_of(self).to_json()).release(); });
}

PyObject* query_result_to_dicts(PyObject* self, PyObject*) {
  return guarded([&] {
    const sql::QueryResult& table = table_of(self);
    std::vector<PyRef> keys;
    keys.reserve(table.columns.size());
    for (const auto& title : table.columns) keys.push_back(py_str(title));
    PyRef list(PyList_New(0));
    if (!list) throw PythonErrorSet{};
    for (const sql::ResultRows::Row row : table.rows) {
      PyRef dict(PyDict_New());
      if (!dict) throw PythonErrorSet{};
      const std::size_t shown = std::min(row.size(), keys.size());
      for (std::size_t i = 0; i < shown; ++i) {
        PyRef cell = py_str(row[i]);
        if (PyDict_SetItem(dict.get(), keys[i].get(), cell.get()) < 0) throw PythonErrorSet{};
      }
      if (PyList_Append(list.get(), dict.get()) < 0) throw PythonErrorSet{};
    }
    return list.release();
  });
}

PyObject* query_result_repr(PyObject* self) {
  return guarded([&] { return py_str(table_of(self).to_table()).release(); });
}

Py_ssize_t query_result_len(PyObject* self) {
  return static_cast<Py_ssize_t>(table_of(self).rows.size());
}

PyDoc_STRVAR(query_result_doc,
             "The answer of QuibDB.query: a table of text cells, every number already formatted.\n"
             "\n"
             "len() is the number of rows; str() and repr() give the aligned text table.");

PyGetSetDef query_result_getset[] = {
    {"header", query_result_header, nullptr, "The column titles, a new list of str.", nullptr},
    {"rows", query_result_rows, nullptr,
     "The rows, a new list of lists of str, each cell as the text table shows it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Each docstring opens with the method's text signature, the form the interpreter reads it from.
PyMethodDef query_result_methods[] = {
    {"to_csv", as_cfunction(query_result_to_csv), METH_NOARGS,
     "to_csv($self)\n--\n\nReturn the table as CSV text, the header line first."},
    {"to_json", as_cfunction(query_result_to_json), METH_NOARGS,
     "to_json($self)\n--\n\nReturn the table as JSON text: an array of one object per row, keyed "
     "by column title."},
    {"to_dicts", as_cfunction(query_result_to_dicts), METH_NOARGS,
     "to_dicts($self)\n--\n\nReturn a list of one dict per row, from column title to cell text."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_result_slots[] = {
    {Py_tp_dealloc, as_slot(query_result_dealloc)},
    {Py_tp_getset, query_result_getset},
    {Py_tp_methods, query_result_methods},
    {Py_tp_doc, const_cast<char*>(query_result_doc)},
    {Py_tp_repr, as_slot(query_result_repr)},
    {Py_sq_length, as_slot(query_result_len)},
    {0, nullptr},
};

PyType_Spec query_result_spec = {
    "quib_engine.QueryResult", sizeof(QueryResultObject), 0, kFrozenFlags, query_result_slots,
};

std::atomic<PyObject*> g_query_result_type{nullptr};

// ---- DatabaseStats and IngestReport ----

// Both hold plain unsigned counts; a getter's closure is the index of its count.
constexpr std::size_t kStatsFields = 4;
constexpr std::size_t kReportFields = 4;

struct DatabaseStatsObject {
  PyObject_HEAD
  std::uint64_t values[kStatsFields];
};

struct IngestReportObject {
  PyObject_HEAD
  std::uint64_t values[kReportFields];
  std::uint64_t elapsed_low;
  std::uint64_t elapsed_high;
};

void* field_index(std::size_t index) { return reinterpret_cast<void*>(index); }
std::size_t index_of(void* closure) { return reinterpret_cast<std::size_t>(closure); }

PyObject* database_stats_get(PyObject* self, void* closure) {
  return PyLong_FromUnsignedLongLong(
      reinterpret_cast<DatabaseStatsObject*>(self)->values[index_of(closure)]);
}

PyObject* ingest_report_get(PyObject* self, void* closure) {
  return PyLong_FromUnsignedLongLong(
      reinterpret_cast<IngestReportObject*>(self)->values[index_of(closure)]);
}

ElapsedMs elapsed_of(PyObject* self) {
  const auto* report = reinterpret_cast<IngestReportObject*>(self);
  return (static_cast<ElapsedMs>(report->elapsed_high) << 64) | report->elapsed_low;
}

// The exact Python integer of a 128-bit count.
PyObject* ingest_report_elapsed(PyObject* self, void*) {
  return guarded([&] {
    const auto* report = reinterpret_cast<IngestReportObject*>(self);
    if (report->elapsed_high == 0) return py_uint(report->elapsed_low).release();
    PyRef high = py_uint(report->elapsed_high);
    PyRef shift = py_uint(64);
    PyRef shifted(PyNumber_Lshift(high.get(), shift.get()));
    if (!shifted) throw PythonErrorSet{};
    PyRef low = py_uint(report->elapsed_low);
    PyObject* total = PyNumber_Or(shifted.get(), low.get());
    if (total == nullptr) throw PythonErrorSet{};
    return total;
  });
}

std::string decimal(ElapsedMs value) {
  if (value == 0) return "0";
  std::string digits;
  while (value != 0) {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  }
  return std::string(digits.rbegin(), digits.rend());
}

PyObject* database_stats_repr(PyObject* self) {
  return guarded([&] {
    const auto* v = reinterpret_cast<DatabaseStatsObject*>(self)->values;
    const std::string text = "DatabaseStats(distributions=" + std::to_string(v[0]) +
                             ", total_samples=" + std::to_string(v[1]) +
                             ", variables=" + std::to_string(v[2]) +
                             ", dimensions=" + std::to_string(v[3]) + ")";
    return py_str(text).release();
  });
}

PyObject* ingest_report_repr(PyObject* self) {
  return guarded([&] {
    const auto* v = reinterpret_cast<IngestReportObject*>(self)->values;
    const std::string text = "IngestReport(processed=" + std::to_string(v[1]) +
                             ", skipped=" + std::to_string(v[2]) +
                             ", distributions_updated=" + std::to_string(v[3]) +
                             ", elapsed_ms=" + decimal(elapsed_of(self)) + ")";
    return py_str(text).release();
  });
}

PyDoc_STRVAR(database_stats_doc, "The counts of a database, as QuibDB.stats returns them.");

PyGetSetDef database_stats_getset[] = {
    {"distributions", database_stats_get, nullptr, "The number of distributions stored (int).",
     field_index(0)},
    {"total_samples", database_stats_get, nullptr,
     "The samples counted over every distribution (int).", field_index(1)},
    {"variables", database_stats_get, nullptr, "The number of variables defined (int).",
     field_index(2)},
    {"dimensions", database_stats_get, nullptr, "The number of dimensions defined (int).",
     field_index(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(ingest_report_doc,
             "What an ingest did, as QuibDB.ingest and QuibDB.ingest_records return it.");

PyGetSetDef ingest_report_getset[] = {
    {"total_rows", ingest_report_get, nullptr,
     "The rows taken in: a file's rows that mapped onto the schema, or every record (int).",
     field_index(0)},
    {"processed_rows", ingest_report_get, nullptr, "The rows counted (int).", field_index(1)},
    {"skipped_rows", ingest_report_get, nullptr,
     "The rows taken in that the counting step could not key (int). Rows lacking a dimension\n"
     "are not among them and are counted nowhere else: a file's are not in total_rows\n"
     "either, while records' are in total_rows only, so processed_rows plus skipped_rows\n"
     "can be less than total_rows.",
     field_index(2)},
    {"distributions_updated", ingest_report_get, nullptr,
     "The distributions changed, summed over the batches (int).", field_index(3)},
    {"elapsed_ms", ingest_report_elapsed, nullptr,
     "Milliseconds from the rows' mapping to the end of the flush (int); 0 for\n"
     "QuibDB.ingest_records.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot database_stats_slots[] = {
    {Py_tp_dealloc, as_slot(dealloc_plain)},
    {Py_tp_getset, database_stats_getset},
    {Py_tp_doc, const_cast<char*>(database_stats_doc)},
    {Py_tp_repr, as_slot(database_stats_repr)},
    {0, nullptr},
};

PyType_Slot ingest_report_slots[] = {
    {Py_tp_dealloc, as_slot(dealloc_plain)},
    {Py_tp_getset, ingest_report_getset},
    {Py_tp_doc, const_cast<char*>(ingest_report_doc)},
    {Py_tp_repr, as_slot(ingest_report_repr)},
    {0, nullptr},
};

PyType_Spec database_stats_spec = {
    "quib_engine.DatabaseStats", sizeof(DatabaseStatsObject), 0, kFrozenFlags,
    database_stats_slots,
};

PyType_Spec ingest_report_spec = {
    "quib_engine.IngestReport", sizeof(IngestReportObject), 0, kFrozenFlags, ingest_report_slots,
};

std::atomic<PyObject*> g_database_stats_type{nullptr};
std::atomic<PyObject*> g_ingest_report_type{nullptr};

}  // namespace

PyTypeObject* query_result_type() { return lazy_type(g_query_result_type, query_result_spec); }
PyTypeObject* database_stats_type() {
  return lazy_type(g_database_stats_type, database_stats_spec);
}
PyTypeObject* ingest_report_type() { return lazy_type(g_ingest_report_type, ingest_report_spec); }

PyRef new_query_result(sql::QueryResult table) {
  auto owned = std::make_unique<sql::QueryResult>(std::move(table));
  PyRef object = alloc_instance(query_result_type());
  reinterpret_cast<QueryResultObject*>(object.get())->table = owned.release();
  return object;
}

PyRef new_database_stats(const StatsCounts& counts) {
  PyRef object = alloc_instance(database_stats_type());
  auto* v = reinterpret_cast<DatabaseStatsObject*>(object.get())->values;
  v[0] = counts.distributions;
  v[1] = counts.total_samples;
  v[2] = counts.variables;
  v[3] = counts.dimensions;
  return object;
}

PyRef new_ingest_report(const IngestCounts& counts) {
  PyRef object = alloc_instance(ingest_report_type());
  auto* report = reinterpret_cast<IngestReportObject*>(object.get());
  report->values[0] = counts.total_rows;
  report->values[1] = counts.processed_rows;
  report->values[2] = counts.skipped_rows;
  report->values[3] = counts.distributions_updated;
  report->elapsed_low = static_cast<std::uint64_t>(counts.elapsed_ms);
  report->elapsed_high = static_cast<std::uint64_t>(counts.elapsed_ms >> 64);
  return object;
}

}  // namespace quib::binding
