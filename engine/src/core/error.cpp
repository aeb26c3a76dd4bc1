#include "core/error.h"

#include <cstring>

namespace quib {

Error Error::from_errno(int errnum) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return Error(std::string(text) + " (os error " + std::to_string(errnum) + ")");
}

std::string Error::full() const {
  std::string out;
  for (auto it = contexts_.rbegin(); it != contexts_.rend(); ++it) {
    out += *it;
    out += ": ";
  }
  out += root_;
  return out;
}

namespace core {

std::string QuibError::display() const {
  static constexpr std::string_view kPrefixes[] = {
      "schema validation error: ",   "distribution not found: ",
      "type mismatch: ",             "invalid query reference: ",
      "insufficient samples: ",      "no snapshots available: ",
      "no joint distribution defined: ", "io error: ",
      "serialization error: ",
  };
  std::string out(kPrefixes[static_cast<std::size_t>(kind)]);
  out += message;
  return out;
}

}  // namespace core
}  // namespace quib
