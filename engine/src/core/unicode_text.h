// Unicode white space in UTF-8 text, for the places that trim or test it: date texts during
// ingestion, query references and the words of the query language. The property comes from ICU.
//
// Bytes that do not form a well-formed UTF-8 character are never white space, so trimming stops
// at them instead of failing.
#pragma once

#include <cstddef>
#include <string_view>

namespace quib::core {

// Whether `c` has the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

// Length in bytes of the white-space character starting at `pos` (below `text.size()`), or 0.
std::size_t white_space_length_at(std::string_view text, std::size_t pos);

// Removes leading and trailing characters with the Unicode White_Space property.
std::string_view trim_unicode_white_space(std::string_view text);

}  // namespace quib::core
