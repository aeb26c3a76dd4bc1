// Returning forms of the number texts that only the tests ask for; the engine appends them in
// place.
#pragma once

#include <string>

#include "core/number_text.h"

namespace quib::core::number_text {

inline std::string json_float(double value) {
  std::string out;
  append_json_float(out, value);
  return out;
}

inline std::string fixed_signed(double value, int precision) {
  std::string out;
  append_fixed_signed(out, value, precision);
  return out;
}

}  // namespace quib::core::number_text
