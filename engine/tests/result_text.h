// One field or one string's inside as the result renderings write it, for the tests that pin
// those bytes; the renderings themselves append in place.
#pragma once

#include <string>
#include <string_view>

#include "core/json_writer.h"
#include "sql/formatter.h"

namespace quib::sql::formatter {

inline std::string csv_escape(std::string_view text) {
  std::string out;
  append_csv_field(out, text);
  return out;
}

inline std::string json_escape(std::string_view text) {
  std::string out;
  core::json::append_escaped(out, text, core::json::ShortEscapes::kWithoutBackspaceAndFormFeed);
  return out;
}

}  // namespace quib::sql::formatter
