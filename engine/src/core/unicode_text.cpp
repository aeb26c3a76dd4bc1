#include "core/unicode_text.h"

#include <unicode/uchar.h>

#include "core/utf8.h"

namespace quib::core {
namespace {

// Start of the white-space run that ends `text`, stepping back over whole characters.
std::size_t trailing_white_space_start(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = end - 1;
    // Step back over continuation bytes to the lead byte, at most three of them.
    while (start > 0 && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    if (white_space_length_at(text, start) != end - start) break;
    end = start;
  }
  return end;
}

}  // namespace

bool is_unicode_white_space(char32_t c) {
  return c <= 0x10FFFF && u_isUWhiteSpace(static_cast<UChar32>(c));
}

std::size_t white_space_length_at(std::string_view text, std::size_t pos) {
  char32_t c = 0;
  const std::size_t len = utf8::decode(text, pos, c);
  return len != 0 && is_unicode_white_space(c) ? len : 0;
}

std::string_view trim_unicode_white_space(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t len = white_space_length_at(text, start);
    if (len == 0) break;
    start += len;
  }
  text.remove_prefix(start);
  text.remove_suffix(text.size() - trailing_white_space_start(text));
  return text;
}

}  // namespace quib::core
