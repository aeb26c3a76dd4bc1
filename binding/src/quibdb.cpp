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

PyMethodDef quibdb_methods[] = {
    {"open", as_cfunction(quibdb_open), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(path, mode=None)\n--\n\n"},
    {"create", as_cfunction(quibdb_create), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "create(path)\n--\n\n"},
    {"flush", as_cfunction(quibdb_flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {"close", as_cfunction(quibdb_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", as_cfunction(quibdb_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(quibdb_exit), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {"stats", as_cfunction(quibdb_stats), METH_NOARGS, "stats($self)\n--\n\n"},
    {"schema", as_cfunction(quibdb_schema), METH_NOARGS, "schema($self)\n--\n\n"},
    {"query", as_cfunction(quibdb_query), METH_VARARGS | METH_KEYWORDS,
     "query($self, sql_str)\n--\n\n"},
    {"ingest", as_cfunction(quibdb_ingest), METH_VARARGS | METH_KEYWORDS,
     "ingest($self, path, max_categories=None, date_columns=None, date_granularity=None)\n--\n\n"},
    {"ingest_records", as_cfunction(quibdb_ingest_records), METH_VARARGS | METH_KEYWORDS,
     "ingest_records($self, records)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quibdb_slots[] = {
    {Py_tp_dealloc, as_slot(quibdb_dealloc)},
    {Py_tp_methods, quibdb_methods},
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
