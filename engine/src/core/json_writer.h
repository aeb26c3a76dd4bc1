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

// Which controls take a two-character escape. Quote, backslash, line feed, carriage return and
// tab always do; backspace and form feed do unless left out, and come out as \u0008 and \u000c
// then. Every other control below U+0020 becomes \u00XX, so strict JSON readers accept the text.
enum class ShortEscapes { kAll, kWithoutBackspaceAndFormFeed };

// Appends the inside of a JSON string literal for `text` (no quotes).
void append_escaped(std::string& out, std::string_view text,
                    ShortEscapes shorts = ShortEscapes::kAll);

}  // namespace quib::core::json
