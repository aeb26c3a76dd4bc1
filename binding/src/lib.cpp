// Module start-up, the exception classes and the one mapping from C++ exceptions to Python ones.

#include <atomic>
#include <exception>
#include <new>

#include "module.h"

namespace quib::binding {
namespace {

std::atomic<PyObject*> g_quib_error{nullptr};
std::atomic<PyObject*> g_internal_error{nullptr};

// Publishes `made` as the process-wide object unless another thread got there first.
PyObject* publish(std::atomic<PyObject*>& slot, PyObject* made) {
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made)) return made;
  Py_DECREF(made);
  return expected;
}

PyObject* unicode_from_utf8(const std::string& text) {
  // Messages may carry path bytes that are not UTF-8; they must still arrive as a message.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void set_error(PyObject* type, const std::string& message) {
  PyRef text(unicode_from_utf8(message));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* internal_error_type() {
  if (PyObject* existing = g_internal_error.load()) return existing;
  PyObject* made =
      PyErr_NewException("quib_engine.InternalError", PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  return publish(g_internal_error, made);
}

void raise_internal_error(const std::string& message) {
  if (PyObject* type = internal_error_type()) set_error(type, message);
}

PyObject* quib_error_type() {
  if (PyObject* existing = g_quib_error.load()) return existing;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "quib_engine.QuibError",
      "An engine error. The message is the whole error chain, outermost step first.",
      PyExc_Exception, nullptr);
  if (made == nullptr) {
    PyErr_Clear();
    raise_internal_error("Failed to initialize new exception type.");
    return nullptr;
  }
  return publish(g_quib_error, made);
}

void to_py_err(const quib::Error& error) {
  if (PyObject* type = quib_error_type()) set_error(type, error.full());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) raise_internal_error("a Python error was reported but none is set");
  } catch (const quib::Error& error) {
    to_py_err(error);
  } catch (const quib::InternalError& error) {
    raise_internal_error(error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_error(error.what());
  } catch (...) {
    raise_internal_error("unknown C++ exception");
  }
}

std::string type_name(PyObject* object) {
  PyRef name(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  return std::string(text, static_cast<std::size_t>(size));
}

void raise_not_instance(PyObject* exc_type, PyObject* object, std::string_view expected) {
  std::string message = "'";
  message.append(type_name(object));
  message.append("' object is not an instance of '");
  message.append(expected);
  message.push_back('\'');
  set_error(exc_type, message);
}

std::string_view utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonErrorSet{};
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyTypeObject* lazy_type(std::atomic<PyObject*>& slot, PyType_Spec& spec) {
  PyObject* type = slot.load();
  if (type == nullptr) {
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) return nullptr;
    type = publish(slot, made);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyRef py_str(std::string_view text) {
  PyRef str(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!str) throw PythonErrorSet{};
  return str;
}

namespace {

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// Adds the classes and the exception; the first failure leaves its exception set and fails the
// import, keeping what was added before it.
int exec_module(PyObject* module) {
  try {
    if (add_type(module, "QuibDB", quibdb_type()) < 0) return -1;
    if (add_type(module, "QueryResult", query_result_type()) < 0) return -1;
    if (add_type(module, "DatabaseStats", database_stats_type()) < 0) return -1;
    if (add_type(module, "IngestReport", ingest_report_type()) < 0) return -1;
    PyObject* error_type = quib_error_type();
    if (error_type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "QuibError", error_type);
  } catch (...) {
    raise_current_exception();
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    // Handles are bound to their creating thread and guard re-entry with their own flag.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "An embedded database of distributions: counts in, information-theoretic answers\n"
             "out.\n"
             "\n"
             "QuibDB.create(path) or QuibDB.open(path) gives a handle on a database directory;\n"
             "ingest and ingest_records count data into it, query answers statements of the query\n"
             "language with a QueryResult. Engine errors raise QuibError.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quib_engine",  // m_name
    module_doc,     // m_doc
    0,              // m_size
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace quib::binding

PyMODINIT_FUNC PyInit_quib_engine() { return PyModuleDef_Init(&quib::binding::module_def); }
