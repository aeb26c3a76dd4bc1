// The engine's error value and its domain error kinds.
//
// Every failure below the Python binding travels as one exception type, `quib::Error`: a root
// message plus the context messages that each layer adds on the way up. `what()` is the outermost
// message alone; `full()` is every message, outermost first, joined by ": ". Layers add context
// with `with_context`, never by concatenating messages themselves.
//
// Broken internal invariants are a different thing: they throw `quib::InternalError`, which the
// binding turns into its internal-error exception rather than a `QuibError`.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace quib {

class Error : public std::exception {
 public:
  explicit Error(std::string message) : root_(std::move(message)) {}

  // An operating-system failure: the system's description of `errnum`, then " (os error N)".
  static Error from_errno(int errnum);

  // Adds a context message on top of the chain.
  Error& add_context(std::string message) {
    contexts_.push_back(std::move(message));
    return *this;
  }

  const char* what() const noexcept override {
    return contexts_.empty() ? root_.c_str() : contexts_.back().c_str();
  }
  // Every message, outermost first, joined by ": ".
  std::string full() const;

  const std::string& root() const { return root_; }
  const std::vector<std::string>& contexts() const { return contexts_; }

 private:
  std::string root_;
  std::vector<std::string> contexts_;  // innermost first
};

// A broken internal invariant (an assertion), never a user-facing error.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Runs `body`; when it throws `quib::Error`, adds the context message and rethrows. `context` is
// either a string or a callable returning one, so that hot paths build the text only on failure.
template <typename Context, typename Body>
decltype(auto) with_context(Context&& context, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (Error& error) {
    if constexpr (std::is_invocable_v<Context>) {
      error.add_context(std::string(context()));
    } else {
      error.add_context(std::string(context));
    }
    throw;
  }
}

// Paths reach the system as C strings, where a NUL byte would silently name another file: such a
// path is refused before any file is touched.
inline void check_path_bytes(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    throw Error("file name contained an unexpected NUL byte");
  }
}

namespace core {

// The engine's domain error kinds; the enumerator order is the stored kind index.
enum class QuibErrorKind : std::uint8_t {
  SchemaValidation,
  DistributionNotFound,
  TypeMismatch,
  InvalidQueryReference,
  InsufficientSamples,
  NoSnapshots,
  NoJointDistribution,
  Io,
  Serialization,
};

struct QuibError {
  QuibErrorKind kind;
  std::string message;

  // The kind's fixed template with the message in place, e.g. "schema validation error: ...".
  std::string display() const;
  // The error entering the chain: its display text becomes a plain root message.
  Error to_error() const { return Error(display()); }
};

}  // namespace core
}  // namespace quib
