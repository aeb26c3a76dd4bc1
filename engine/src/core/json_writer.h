// The compact JSON writer: no whitespace, members in the order the value holds them, numbers
// through `core/number_text.h`, and every control character escaped.
#pragma once

#include <string>
#include <string_view>

#include "core/json.h"

namespace quib::core::json {

// Appends the compact text of `value` to `out`.
void write(std::string& out, const Value& value);
std::string to_string(const Value& value);

// Appends `text` as a JSON string literal (quotes included).
void write_string(std::string& out, std::string_view text);
// Whether `text` needs no escape as a JSON string (no quote, backslash or control character),
// so that its literal is the text itself between quotes. Checks eight bytes at a time, for
// writers of many short texts that take that road before `write_string`.
bool is_plain_string(std::string_view text);

}  // namespace quib::core::json
