#include "core/unicode_text.h"

namespace quib::core {
namespace {

// Decodes one UTF-8 character at `pos`; returns its length, or 0 when the bytes there are not
// a well-formed character.
std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len;
  char32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (pos + len > text.size()) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(text[pos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  out = cp;
  return len;
}

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
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::size_t white_space_length_at(std::string_view text, std::size_t pos) {
  char32_t c = 0;
  const std::size_t len = decode_utf8(text, pos, c);
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
