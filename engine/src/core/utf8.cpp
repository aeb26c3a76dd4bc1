#include "core/utf8.h"

#include <cstdint>
#include <cstring>

namespace quib::core::utf8 {
namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Checks the sequence that starts with a non-ASCII byte at `i`. Returns its length when it is
// well-formed; otherwise 0, with `bad` set to the length of its maximal invalid prefix (0 when
// the text ends inside it).
std::size_t sequence_at(const unsigned char* s, std::size_t n, std::size_t i, std::size_t& bad) {
  const unsigned char first = s[i];
  std::size_t width = 0;
  // The second byte of a longer sequence has a narrower range that excludes overlong forms,
  // surrogates and values past U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (first >= 0xC2 && first <= 0xDF) {
    width = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    width = 3;
    if (first == 0xE0) low = 0xA0;
    if (first == 0xED) high = 0x9F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    width = 4;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k < width; ++k) {
    if (i + k >= n) {
      bad = 0;
      return 0;
    }
    const unsigned char b = s[i + k];
    const bool fits = k == 1 ? b >= low && b <= high : is_continuation(b);
    if (!fits) {
      bad = k;
      return 0;
    }
  }
  return width;
}

// Walks `bytes` until the first malformed sequence; returns its index (or the size).
std::size_t walk(std::string_view bytes, std::size_t& bad) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: skip it eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t width = sequence_at(s, n, i, bad);
    if (width == 0) return i;
    i += width;
  }
  return n;
}

}  // namespace

std::optional<Malformed> first_malformed(std::string_view bytes) {
  std::size_t bad = 0;
  const std::size_t at = walk(bytes, bad);
  if (at == bytes.size()) return std::nullopt;
  return Malformed{at, bad};
}

std::size_t valid_up_to(std::string_view bytes) {
  std::size_t bad = 0;
  return walk(bytes, bad);
}

std::size_t decode(std::string_view text, std::size_t pos, char32_t& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  if (pos >= text.size()) return 0;
  if (s[pos] < 0x80) {
    out = s[pos];
    return 1;
  }
  std::size_t bad = 0;
  const std::size_t width = sequence_at(s, text.size(), pos, bad);
  if (width == 0) return 0;
  char32_t cp = s[pos] & (0x7F >> width);
  for (std::size_t k = 1; k < width; ++k) cp = (cp << 6) | (s[pos + k] & 0x3F);
  out = cp;
  return width;
}

void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace quib::core::utf8
