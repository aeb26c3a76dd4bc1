// Shared internals of the extension module `quib_engine`.
//
// The binding is a thin layer: each Python-visible method binds its arguments, checks the
// handle's state, calls the engine and converts the result. Engine failures arrive as C++
// exceptions and become Python exceptions in exactly one place, `raise_current_exception`, which
// every entry point reaches through `guarded`. Binding code that finds a Python exception already
// set throws `PythonErrorSet` to unwind to that same place.
//
// Type objects and exception classes exist once per process and are made on first need.
#pragma once

#include "py_ref.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "sql/formatter.h"

namespace quib::binding {

// A Python exception is already set; unwinding to the entry point is all that is left to do.
struct PythonErrorSet {};

// Sets the Python exception for the C++ exception being handled. Call only inside a catch block.
void raise_current_exception() noexcept;

// Runs `body` (returning a new reference or null with an exception set) and maps any C++
// exception that escapes it; the interpreter never sees a C++ exception.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// An engine error chain as a raised `quib_engine.QuibError`, every message of the chain in it.
void to_py_err(const quib::Error& error);

// The exception classes. Both return null with an exception set when the class cannot be made.
PyObject* quib_error_type();
// Raised for broken invariants and for a handle used from a foreign thread: a subclass of
// BaseException, so that `except Exception` does not swallow it.
PyObject* internal_error_type();
void raise_internal_error(const std::string& message);

// A method or slot function in the form the method tables and type slots store.
template <typename Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <typename Function>
void* as_slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

// "'{type}' object is not an instance of '{expected}'" as `exc_type`.
void raise_not_instance(PyObject* exc_type, PyObject* object, std::string_view expected);
std::string type_name(PyObject* object);
// The UTF-8 text of a `str`; throws `PythonErrorSet` when it cannot be encoded.
std::string_view utf8_view(PyObject* text);
// A new `str` from UTF-8 text (invalid bytes replaced); throws `PythonErrorSet` on failure.
PyRef py_str(std::string_view text);

// The heap types, made on first need; null with an exception set on failure.
PyTypeObject* lazy_type(std::atomic<PyObject*>& slot, PyType_Spec& spec);
PyTypeObject* quibdb_type();
PyTypeObject* query_result_type();
PyTypeObject* database_stats_type();
PyTypeObject* ingest_report_type();

// Elapsed milliseconds of an ingest are a 128-bit count.
__extension__ typedef unsigned __int128 ElapsedMs;

struct IngestCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t processed_rows = 0;
  std::uint64_t skipped_rows = 0;
  std::uint64_t distributions_updated = 0;
  ElapsedMs elapsed_ms = 0;
};

struct StatsCounts {
  std::uint64_t distributions = 0;
  std::uint64_t total_samples = 0;
  std::uint64_t variables = 0;
  std::uint64_t dimensions = 0;
};

// New result objects; each throws `PythonErrorSet` when allocation fails.
PyRef new_query_result(sql::QueryResult table);
PyRef new_database_stats(const StatsCounts& counts);
PyRef new_ingest_report(const IngestCounts& counts);

}  // namespace quib::binding
