// The QuibDB handle: one open database, bound to the thread and the process that created it.
//
// Every instance method follows one course: bind the arguments, check the receiver, check the
// thread, take shared or exclusive access, convert the arguments, check that the handle is open,
// run the operation. `run_method` does the middle part; methods convert their own arguments
// and then call `open_state`, so that argument errors come before "database is closed".
//
// The access flag only ever sees conflicts from re-entrant calls on one handle (Python code run
// during an argument conversion that calls back into the handle): the thread binding keeps every
// other thread out.
//
// A child made by fork inherits a copy of every handle, and with it the descriptor that holds
// the parent's lock. In the child such a copy is foreign: every method raises as from another
// thread, and dropping it neither flushes nor unlocks, so the parent keeps its lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

#include "module.h"
#include "query/engine.h"
#include "storage/dist_store.h"

namespace quib::binding {

// What an open handle owns; moved out as a whole on close. The engine holds only the compare
// cache of this database's queries, so each handle has its own.
struct OpenState {
  storage::Database database;
  query::QueryEngine engine;
};

struct QuibDBObject {
  PyObject_HEAD
  OpenState* open;  // null once closed
  // Shared accesses in progress, or kExclusiveAccess.
  std::atomic<std::intptr_t> access;
  std::uint64_t owner_thread;
  pid_t owner_process;
};

inline constexpr std::intptr_t kExclusiveAccess = -1;

enum class Access { Shared, Exclusive };

// Holds shared or exclusive access for its lifetime; a conflict raises RuntimeError.
class AccessGuard {
 public:
  AccessGuard(QuibDBObject& handle, Access access);
  ~AccessGuard();
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;

 private:
  std::atomic<std::intptr_t>& flag_;
  Access access_;
};

// Receiver and thread checks (the thread check also refuses a handle inherited through fork);
// each raises and throws `PythonErrorSet` on failure.
QuibDBObject& receiver(PyObject* self);
void check_thread(const QuibDBObject& handle);

// The open state, or RuntimeError "database is closed".
OpenState& open_state(QuibDBObject& handle);

// Runs `body(handle)` inside the receiver check, the thread check and the access flag.
template <typename Body>
PyObject* run_method(PyObject* self, Access access, Body&& body) {
  return guarded([&]() -> PyObject* {
    QuibDBObject& handle = receiver(self);
    check_thread(handle);
    AccessGuard guard(handle, access);
    return body(handle);
  });
}

// A converted argument failed with a TypeError: re-raises it as "argument '{name}': {cause}".
// Other exceptions are left as they are. Always throws `PythonErrorSet`.
[[noreturn]] void argument_error(const char* name);
// `value` as text; anything but a `str` raises the argument's TypeError.
std::string text_argument(const char* name, PyObject* value);

// The method table entries of the ingestion methods, defined with them.
PyObject* quibdb_ingest(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* quibdb_ingest_records(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace quib::binding
