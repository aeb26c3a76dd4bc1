// Strict UTF-8: the one place that knows which byte sequences are well-formed (shortest forms
// only, no surrogates, nothing above U+10FFFF), for every reader of outside text and every
// decoder of stored text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quib::core::utf8 {

// The first malformed sequence of a text: where it starts and how many bytes form its maximal
// invalid prefix; a length of 0 means the text ends inside a sequence that could still be whole.
struct Malformed {
  std::size_t index = 0;
  std::size_t length = 0;
};

// Nothing when all of `bytes` is well-formed.
std::optional<Malformed> first_malformed(std::string_view bytes);

// Length of the longest well-formed prefix of `bytes`; `bytes.size()` when all of it is.
std::size_t valid_up_to(std::string_view bytes);

inline bool is_valid(std::string_view bytes) { return valid_up_to(bytes) == bytes.size(); }

// Decodes the character at `pos` into `out`; returns its length in bytes, or 0 when the bytes
// there are not one well-formed character.
std::size_t decode(std::string_view text, std::size_t pos, char32_t& out);

// Appends the encoding of the code point `cp` (at most U+10FFFF, no surrogate).
void append(std::string& out, char32_t cp);

}  // namespace quib::core::utf8
