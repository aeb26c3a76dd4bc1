#include "core/json_writer.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <variant>

#include "core/number_text.h"

namespace quib::core::json {
namespace {

void write_value(std::string& out, const Value& value) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out.append("null");
        } else if constexpr (std::is_same_v<T, bool>) {
          out.append(v ? "true" : "false");
        } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t>) {
          number_text::append_plain(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          if (std::isfinite(v)) {
            number_text::append_json_float(out, v);
          } else {
            out.append("null");
          }
        } else if constexpr (std::is_same_v<T, std::string>) {
          write_string(out, v);
        } else if constexpr (std::is_same_v<T, Array>) {
          out.push_back('[');
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i > 0) out.push_back(',');
            write_value(out, v[i]);
          }
          out.push_back(']');
        } else {
          out.push_back('{');
          bool first = true;
          for (const auto& [key, member] : v) {
            if (!first) out.push_back(',');
            first = false;
            write_string(out, key);
            out.push_back(':');
            write_value(out, member);
          }
          out.push_back('}');
        }
      },
      value.data);
}

// The two-character escape of `c`, or null when it takes the \u00XX form.
const char* short_escape(unsigned char c, ShortEscapes shorts) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return shorts == ShortEscapes::kAll ? "\\b" : nullptr;
    case '\f':
      return shorts == ShortEscapes::kAll ? "\\f" : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

void write_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_escaped(out, text);
  out.push_back('"');
}

void append_escaped(std::string& out, std::string_view text, ShortEscapes shorts) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char* run = text.data();
  const char* end = run + text.size();
  for (const char* p = run; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(run, p);
    run = p + 1;
    if (const char* escape = short_escape(c, shorts)) {
      out.append(escape, 2);
    } else {
      const char hex[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(hex, sizeof hex);
    }
  }
  out.append(run, end);
}

namespace {

constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> escaped{};
  for (std::size_t c = 0; c < 0x20; ++c) escaped[c] = true;
  escaped[static_cast<unsigned char>('"')] = true;
  escaped[static_cast<unsigned char>('\\')] = true;
  return escaped;
}();

}  // namespace

bool is_plain_string(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  // A byte of `word` is below `n` (n <= 128): the borrow sets its high bit where it was clear.
  auto any_below = [](std::uint64_t word, std::uint64_t n) {
    return ((word - kOnes * n) & ~word & kHighs) != 0;
  };
  auto any_equal = [&](std::uint64_t word, std::uint64_t byte) {
    return any_below(word ^ (kOnes * byte), 1);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    if (any_below(word, 0x20) || any_equal(word, '"') || any_equal(word, '\\')) return false;
  }
  bool escaped = false;
  for (; n > 0; ++p, --n) escaped |= kEscaped[*p];
  return !escaped;
}

void write(std::string& out, const Value& value) { write_value(out, value); }

std::string to_string(const Value& value) {
  std::string out;
  write_value(out, value);
  return out;
}

}  // namespace quib::core::json
