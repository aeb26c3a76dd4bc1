// The QuibDB class: opening and creating databases, flush, close, the context protocol, stats and
// the schema.

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <unistd.h>

#include "handle.h"
#include "sql/executor.h"
#include "storage/json_form.h"

namespace quib::binding {
namespace {

constexpr const char* kUnsendableCall = "quib_engine::QuibDB is unsendable, but sent to another thread";
constexpr const char* kUnsendableDrop =
    "quib_engine::QuibDB is unsendable, but is being dropped on another thread";

// The identity of the calling thread for the thread binding. Unlike the interpreter's thread
// ident, which a thread started later may inherit, it is never given to another thread.
std::uint64_t current_thread_id() {
  static std::atomic<std::uint64_t> next_id{1};
  thread_local const std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
  return id;
}

// Lets other Python threads run while this one waits on the file system (an open may wait for
// another process's lock). No Python object is touched in between.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// The pending exception, taken out of the interpreter (null when none is set).
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  if (!exception) return;
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

PyObject* new_handle(storage::Database database) {
  PyTypeObject* type = quibdb_type();
  if (type == nullptr) throw PythonErrorSet{};
  auto state = std::make_unique<OpenState>(OpenState{std::move(database), query::QueryEngine()});
  PyRef object(type->tp_alloc(type, 0));
  if (!object) throw PythonErrorSet{};
  auto* handle = reinterpret_cast<QuibDBObject*>(object.get());
  new (&handle->access) std::atomic<std::intptr_t>(0);
  handle->owner_thread = current_thread_id();
  handle->owner_process = ::getpid();
  handle->open = state.release();
  return object.release();
}

bool bind(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
          PyObject** a, PyObject** b = nullptr, PyObject** c = nullptr) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), a, b, c) !=
         0;
}

// ---- static methods ----

PyObject* quibdb_open(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"path", "mode", nullptr};
  PyObject* path = nullptr;
  PyObject* mode = nullptr;
  if (!bind(args, kwargs, "O|O:open", names, &path, &mode)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string path_text = text_argument("path", path);
    bool read_write = true;
    if (mode != nullptr && mode != Py_None) {
      const std::string mode_text = text_argument("mode", mode);
      if (mode_text == "read_only" || mode_text == "ro") {
        read_write = false;
      } else if (mode_text != "read_write" && mode_text != "rw") {
        const std::string message =
            "unknown mode '" + mode_text + "'; use 'read_only' or 'read_write'";
        PyRef text = py_str(message);
        PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
      }
    }
    std::optional<storage::Database> database;
    {
      GilRelease unlocked;
      database.emplace(storage::Database::open(path_text, read_write));
    }
    return new_handle(std::move(*database));
  });
}

PyObject* quibdb_create(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"path", nullptr};
  PyObject* path = nullptr;
  if (!bind(args, kwargs, "O:create", names, &path)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string path_text = text_argument("path", path);
    std::optional<storage::Database> database;
    {
      GilRelease unlocked;
      database.emplace(storage::Database::create_with_options(path_text, true));
    }
    return new_handle(std::move(*database));
  });
}

// ---- instance methods ----

PyObject* quibdb_flush(PyObject* self, PyObject*) {
  return run_method(self, Access::Shared, [](QuibDBObject& handle) -> PyObject* {
    open_state(handle).database.flush();
    Py_RETURN_NONE;
  });
}

// Closed from the first step on, whatever the flush does; the database (and its lock) is
// released before a flush failure is raised.
void close_handle(QuibDBObject& handle) {
  std::unique_ptr<OpenState> state(std::exchange(handle.open, nullptr));
  if (!state) return;
  std::exception_ptr failure;
  try {
    state->database.flush();
  } catch (...) {
    failure = std::current_exception();
  }
  state.reset();
  if (failure) std::rethrow_exception(failure);
}

PyObject* quibdb_close(PyObject* self, PyObject*) {
  return run_method(self, Access::Exclusive, [](QuibDBObject& handle) -> PyObject* {
    close_handle(handle);
    Py_RETURN_NONE;
  });
}

PyObject* quibdb_enter(PyObject* self, PyObject*) {
  return run_method(self, Access::Shared, [self](QuibDBObject&) -> PyObject* {
    return Py_NewRef(self);
  });
}

PyObject* quibdb_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"_exc_type", "_exc_val", "_exc_tb", nullptr};
  PyObject* exc_type = nullptr;
  PyObject* exc_val = nullptr;
  PyObject* exc_tb = nullptr;
  if (!bind(args, kwargs, "|OOO:__exit__", names, &exc_type, &exc_val, &exc_tb)) return nullptr;
  return run_method(self, Access::Exclusive, [](QuibDBObject& handle) -> PyObject* {
    close_handle(handle);
    Py_RETURN_FALSE;
  });
}

PyObject* quibdb_stats(PyObject* self, PyObject*) {
  return run_method(self, Access::Shared, [](QuibDBObject& handle) -> PyObject* {
    const storage::DatabaseStats stats = open_state(handle).database.stats();
    return new_database_stats(
               {stats.distributions, stats.total_samples, stats.variables, stats.dimensions})
        .release();
  });
}

PyObject* quibdb_schema(PyObject* self, PyObject*) {
  return run_method(self, Access::Shared, [](QuibDBObject& handle) -> PyObject* {
    const std::string text =
        storage::json_form::serialize_schema(open_state(handle).database.schema());
    PyRef json(PyImport_ImportModule("json"));
    if (!json) throw PythonErrorSet{};
    PyRef loads(PyObject_GetAttrString(json.get(), "loads"));
    if (!loads) throw PythonErrorSet{};
    PyRef argument = py_str(text);
    return PyObject_CallOneArg(loads.get(), argument.get());
  });
}

PyObject* quibdb_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"sql_str", nullptr};
  PyObject* sql = nullptr;
  if (!bind(args, kwargs, "O:query", names, &sql)) return nullptr;
  return run_method(self, Access::Shared, [&](QuibDBObject& handle) -> PyObject* {
    const std::string text = text_argument("sql_str", sql);
    OpenState& state = open_state(handle);
    return new_query_result(sql::query(state.database, state.engine, text)).release();
  });
}

void quibdb_dealloc(PyObject* self) {
  auto* handle = reinterpret_cast<QuibDBObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (handle->open != nullptr && handle->owner_process != ::getpid()) {
    // A copy inherited through fork: the database and its lock are the parent's. The copy's
    // memory is left as it is; releasing it would run destructors meant for the owner.
  } else if (handle->open != nullptr && handle->owner_thread != current_thread_id()) {
    // The database belongs to its thread: it stays open, lock held, until the process ends.
    PyRef pending = take_exception();
    PyErr_SetString(PyExc_RuntimeError, kUnsendableDrop);
    PyErr_WriteUnraisable(nullptr);
    restore_exception(std::move(pending));
  } else {
    delete handle->open;
  }
  handle->open = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

// Each docstring opens with the method's text signature, the form the interpreter reads it from.
PyDoc_STRVAR(quibdb_doc,
             "A handle on one database directory, made by QuibDB.create or QuibDB.open; the\n"
             "class itself cannot be called.\n"
             "\n"
             "A read-write handle holds an exclusive lock on the directory until it is closed;\n"
             "a read-only handle refuses every change with QuibError. Used in a with block, the\n"
             "handle is flushed and closed at the end; one dropped without close() is not\n"
             "flushed. A handle belongs to the thread that created it: a call from another\n"
             "thread raises an exception named quib_engine.InternalError, which the module does\n"
             "not export and which derives from BaseException, not Exception: only\n"
             "`except BaseException` catches it. Once the handle is closed, the methods that\n"
             "read or change the database raise RuntimeError(\"database is closed\").");

PyDoc_STRVAR(open_doc,
             "open(path, mode=None)\n--\n\n"
             "Open the existing database in directory path.\n"
             "\n"
             "mode is \"read_write\" or \"rw\" (the default), \"read_only\" or \"ro\". A\n"
             "read-write open waits while another process holds the lock and fails at once when\n"
             "this process holds it. Returns a QuibDB.\n"
             "Raises QuibError when the database cannot be opened, ValueError for any other\n"
             "mode, TypeError when path or mode is not a str.");

PyDoc_STRVAR(create_doc,
             "create(path)\n--\n\n"
             "Create a database in directory path and open it read-write.\n"
             "\n"
             "The directory and its files are made where missing, with the raw log switched on;\n"
             "an existing database is opened unchanged (schema, counts and raw-log setting).\n"
             "Returns a QuibDB.\n"
             "Raises QuibError when the database cannot be created or opened, TypeError when\n"
             "path is not a str.");

PyDoc_STRVAR(flush_doc,
             "flush($self)\n--\n\n"
             "Write the changes held in memory to the database's files.\n"
             "\n"
             "Raises QuibError when a write fails.");

PyDoc_STRVAR(close_doc,
             "close($self)\n--\n\n"
             "Flush and close the handle, releasing its lock; closing it again does nothing.\n"
             "\n"
             "The handle is closed even when the flush fails; the failure then raises QuibError.");

PyDoc_STRVAR(enter_doc,
             "__enter__($self)\n--\n\n"
             "Return the handle itself; leaving the with block closes it.");

PyDoc_STRVAR(exit_doc,
             "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"
             "Flush and close the handle as close() does. Returns False, so an exception raised\n"
             "in the with block goes on.");

PyDoc_STRVAR(stats_doc,
             "stats($self)\n--\n\n"
             "Return the database's counts as a DatabaseStats.");

PyDoc_STRVAR(schema_doc,
             "schema($self)\n--\n\n"
             "Return the schema as Python objects: a dict whose \"variables\" and \"dimensions\"\n"
             "are lists of dicts, one per definition, and whose \"joints\" is a list of pairs\n"
             "of variable names, each a list [a, b].");

PyDoc_STRVAR(query_doc,
             "query($self, sql_str)\n--\n\n"
             "Run one statement of the query language and return its QueryResult.\n"
             "\n"
             "Each handle caches compare results; a cached answer is never stale.\n"
             "Raises QuibError when the statement fails (after a syntax error the message\n"
             "starts with \"parse error: \"; a SHOW of a key that is not stored says\n"
             "\"distribution not found\" and names nothing), TypeError when sql_str is not a\n"
             "str.");

PyDoc_STRVAR(ingest_doc,
             "ingest($self, path, max_categories=None, date_columns=None, date_granularity=None)\n"
             "--\n\n"
             "Ingest the data file path and return an IngestReport.\n"
             "\n"
             "The file is read by its extension: .csv, or JSON lines in .jsonl or .json (a .json\n"
             "file is read as JSON lines too). The schema is inferred from the first 1000 rows:\n"
             "at most max_categories categories per variable (default 50), the columns named in\n"
             "date_columns (a sequence of str) as dates bucketed by date_granularity, one of\n"
             "\"daily\", \"weekly\", \"monthly\" or \"yearly\" (the default). Variables and\n"
             "dimensions not yet defined are defined; those defined keep their definitions.\n"
             "The rows are applied in batches of 10000 and the database is flushed at the end.\n"
             "With the raw log on, each row also appends a line to it, so the log can grow\n"
             "larger than the file.\n"
             "Raises QuibError when the file cannot be read, has another extension (the message\n"
             "lists parquet among the formats; it is not read) or the database refuses the\n"
             "change; TypeError for an argument of the wrong type (a str as date_columns too);\n"
             "OverflowError when max_categories is negative or beyond 64 bits.");

PyDoc_STRVAR(ingest_records_doc,
             "ingest_records($self, records)\n--\n\n"
             "Apply records, a list of dicts from column name to value, as one batch, then flush;\n"
             "returns an IngestReport.\n"
             "\n"
             "Nothing is inferred: the names must already be defined. None, NaN and infinities\n"
             "are null; bools, ints and floats keep their type (ints beyond 64 bits become\n"
             "floats, or text when too large for one); anything else is counted by its str().\n"
             "Nothing is applied unless every record converts.\n"
             "Raises TypeError when records is not a list of dicts with str keys, QuibError\n"
             "when the database refuses the change.");

PyMethodDef quibdb_methods[] = {
    {"open", as_cfunction(quibdb_open), METH_VARARGS | METH_KEYWORDS | METH_STATIC, open_doc},
    {"create", as_cfunction(quibdb_create), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     create_doc},
    {"flush", as_cfunction(quibdb_flush), METH_NOARGS, flush_doc},
    {"close", as_cfunction(quibdb_close), METH_NOARGS, close_doc},
    {"__enter__", as_cfunction(quibdb_enter), METH_NOARGS, enter_doc},
    {"__exit__", as_cfunction(quibdb_exit), METH_VARARGS | METH_KEYWORDS, exit_doc},
    {"stats", as_cfunction(quibdb_stats), METH_NOARGS, stats_doc},
    {"schema", as_cfunction(quibdb_schema), METH_NOARGS, schema_doc},
    {"query", as_cfunction(quibdb_query), METH_VARARGS | METH_KEYWORDS, query_doc},
    {"ingest", as_cfunction(quibdb_ingest), METH_VARARGS | METH_KEYWORDS, ingest_doc},
    {"ingest_records", as_cfunction(quibdb_ingest_records), METH_VARARGS | METH_KEYWORDS,
     ingest_records_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quibdb_slots[] = {
    {Py_tp_dealloc, as_slot(quibdb_dealloc)},
    {Py_tp_methods, quibdb_methods},
    {Py_tp_doc, const_cast<char*>(quibdb_doc)},
    {0, nullptr},
};

PyType_Spec quibdb_spec = {
    "quib_engine.QuibDB",
    sizeof(QuibDBObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    quibdb_slots,
};

std::atomic<PyObject*> g_quibdb_type{nullptr};

}  // namespace

PyTypeObject* quibdb_type() { return lazy_type(g_quibdb_type, quibdb_spec); }

AccessGuard::AccessGuard(QuibDBObject& handle, Access access)
    : flag_(handle.access), access_(access) {
  if (access == Access::Exclusive) {
    std::intptr_t idle = 0;
    if (!flag_.compare_exchange_strong(idle, kExclusiveAccess, std::memory_order_acquire)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      throw PythonErrorSet{};
    }
    return;
  }
  std::intptr_t current = flag_.load(std::memory_order_relaxed);
  do {
    if (current == kExclusiveAccess) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      throw PythonErrorSet{};
    }
  } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed));
}

AccessGuard::~AccessGuard() {
  if (access_ == Access::Exclusive) {
    flag_.store(0, std::memory_order_release);
  } else {
    flag_.fetch_sub(1, std::memory_order_release);
  }
}

QuibDBObject& receiver(PyObject* self) {
  PyTypeObject* type = quibdb_type();
  if (type == nullptr) throw PythonErrorSet{};
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    raise_not_instance(PyExc_TypeError, self, "QuibDB");
    throw PythonErrorSet{};
  }
  return *reinterpret_cast<QuibDBObject*>(self);
}

void check_thread(const QuibDBObject& handle) {
  if (handle.owner_thread != current_thread_id() || handle.owner_process != ::getpid()) {
    raise_internal_error(kUnsendableCall);
    throw PythonErrorSet{};
  }
}

OpenState& open_state(QuibDBObject& handle) {
  if (handle.open == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "database is closed");
    throw PythonErrorSet{};
  }
  return *handle.open;
}

void argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
  PyRef cause = take_exception();
  PyRef cause_text(PyObject_Str(cause.get()));
  if (!cause_text) throw PythonErrorSet{};
  std::string message = std::string("argument '") + name + "': ";
  message.append(utf8_view(cause_text.get()));
  PyRef text = py_str(message);
  PyErr_SetObject(PyExc_TypeError, text.get());
  throw PythonErrorSet{};
}

std::string text_argument(const char* name, PyObject* value) {
  if (!PyUnicode_Check(value)) {
    raise_not_instance(PyExc_TypeError, value, "str");
    argument_error(name);
  }
  return std::string(utf8_view(value));
}

}  // namespace quib::binding
