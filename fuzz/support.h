// What every fuzz target shares: the input as bytes or text, and the two ways a run may end.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "core/error.h"

namespace quib::fuzz {

using Bytes = std::span<const std::uint8_t>;

// A broken property: abort, so that the fuzzer records the input.
inline void require(bool holds) {
  if (!holds) std::abort();
}

inline std::string_view as_text(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Runs `read` and swallows the one failure a reader may report.
template <typename Read>
void tolerate_errors(Read&& read) {
  try {
    read();
  } catch (const Error&) {
  }
}

}  // namespace quib::fuzz
