#include "core/debug_text.h"

#include <charconv>
#include <cstdint>

namespace quib::core {

namespace {

void append_unicode_escape(std::string& out, std::uint32_t code) {
  char hex[8];
  auto [end, ec] = std::to_chars(hex, hex + sizeof hex, code, 16);
  out.append("\\u{");
  out.append(hex, end);
  out.push_back('}');
}

}  // namespace

void append_debug_string(std::string& out, std::string_view text) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out.append("\\\"");
        continue;
      case '\\':
        out.append("\\\\");
        continue;
      case '\n':
        out.append("\\n");
        continue;
      case '\r':
        out.append("\\r");
        continue;
      case '\t':
        out.append("\\t");
        continue;
      case 0:
        out.append("\\0");
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      append_unicode_escape(out, c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: a two-byte sequence whose second byte is the code point itself.
      append_unicode_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

}  // namespace quib::core
