#include "core/json_reader.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

#include "core/error.h"
#include "core/number_text.h"
#include "core/utf8.h"

namespace quib::core::json {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decimal exponent k with 10^(k-1) <= |x| < 10^k (roughly) of a number text that the
// float conversion refused as out of range; only its sign matters: above zero means overflow.
long magnitude_of(const char* p, const char* end) {
  long k = 0;
  bool nonzero = false;
  for (; p < end && is_digit(*p); ++p) {
    if (nonzero || *p != '0') {
      nonzero = true;
      ++k;
    }
  }
  if (p < end && *p == '.') {
    for (++p; p < end && is_digit(*p); ++p) {
      if (nonzero) continue;
      if (*p == '0') {
        --k;
      } else {
        nonzero = true;
      }
    }
  }
  if (!nonzero) return LONG_MIN;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    long exponent = 0;
    for (; p < end && is_digit(*p); ++p) {
      exponent = std::min<long>(exponent * 10 + (*p - '0'), 1'000'000'000L);
    }
    k += negative ? -exponent : exponent;
  }
  return k;
}

}  // namespace

// ---- positions and failures ----

void Reader::fail_at(const char* position, std::string_view message) const {
  const std::string_view consumed(begin_, static_cast<std::size_t>(position - begin_));
  const std::size_t last_newline = consumed.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const auto line = 1 + std::count(consumed.begin(), consumed.begin() + line_start, '\n');
  std::string text(message);
  text.append(" at line ");
  number_text::append_plain(text, static_cast<std::uint64_t>(line));
  text.append(" column ");
  number_text::append_plain(text, static_cast<std::uint64_t>(consumed.size() - line_start));
  throw Error(std::move(text));
}

void Reader::fail_at_next(std::string_view message) const {
  fail_at(cursor_ < end_ ? cursor_ + 1 : end_, message);
}

void Reader::fail_at_last(std::string_view message) const { fail_at(cursor_, message); }

void Reader::fail_invalid_type(std::string_view expected) {
  const int next = peek();
  std::string found;
  bool at_next = false;
  if (next < 0) fail_at_next("EOF while parsing a value");
  switch (next) {
    case 'n':
      read_null();
      found = "null";
      break;
    case 't':
    case 'f':
      found = read_bool() ? "boolean `true`" : "boolean `false`";
      break;
    case '"': {
      std::string text;
      read_string(text);
      found = describe_string(text);
      break;
    }
    case '[':
      found = "sequence";
      at_next = true;
      break;
    case '{':
      found = "map";
      at_next = true;
      break;
    default:
      if (next == '-' || is_digit(static_cast<char>(next))) {
        found = describe_number(read_number());
        break;
      }
      fail_at_next("expected value");
  }
  std::string message = "invalid type: " + found + ", expected ";
  message.append(expected);
  if (at_next) fail_at_next(message);
  fail_at_last(message);
}

std::string describe_number(const Number& number) {
  std::string out;
  switch (number.number_class) {
    case Number::Class::Unsigned:
      out = "integer `";
      number_text::append_plain(out, number.unsigned_value);
      break;
    case Number::Class::Signed:
      out = "integer `";
      number_text::append_plain(out, number.signed_value);
      break;
    case Number::Class::Float:
      out = "floating point `";
      if (std::isfinite(number.float_value)) {
        number_text::append_json_float(out, number.float_value);
      } else {
        number_text::append_plain(out, number.float_value);
      }
      break;
  }
  out.push_back('`');
  return out;
}

std::string describe_string(std::string_view text) {
  // Quoted and escaped the way a debugging printout shows a text.
  std::string out = "string \"";
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
    std::uint32_t control = 0x100;
    if (c < 0x20 || c == 0x7F) {
      control = c;
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      control = static_cast<unsigned char>(text[i + 1]);  // U+0080 to U+009F
      ++i;
    }
    if (control < 0x100) {
      char hex[8];
      auto [end, ec] = std::to_chars(hex, hex + sizeof hex, control, 16);
      out.append("\\u{");
      out.append(hex, end);
      out.push_back('}');
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

// ---- scalars ----

int Reader::peek() {
  while (cursor_ < end_) {
    const char c = *cursor_;
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
    ++cursor_;
  }
  return -1;
}

void Reader::read_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (cursor_ == end_) fail_at_last("EOF while parsing a value");
    if (*cursor_++ != expected) fail_at_last("expected ident");
  }
}

bool Reader::read_bool() {
  const bool value = *cursor_ == 't';
  ++cursor_;
  read_ident(value ? "rue" : "alse");
  return value;
}

void Reader::read_null() {
  ++cursor_;
  read_ident("ull");
}

Number Reader::read_number() {
  const char* start = cursor_;
  const bool negative = *cursor_ == '-';
  if (negative) ++cursor_;
  if (cursor_ == end_) fail_at_last("EOF while parsing a value");
  const char first = *cursor_++;
  if (first == '0') {
    if (cursor_ < end_ && is_digit(*cursor_)) fail_at_next("invalid number");
  } else if (first >= '1' && first <= '9') {
    while (cursor_ < end_ && is_digit(*cursor_)) ++cursor_;
  } else {
    fail_at_last("invalid number");
  }
  if (cursor_ < end_ && (*cursor_ == '.' || *cursor_ == 'e' || *cursor_ == 'E')) {
    return read_float(start, negative);
  }
  Number number;
  if (negative) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(start, cursor_, value);
    if (ec == std::errc()) {
      // "-0" is an integer without fraction or exponent: the unsigned 0, not the float -0.0.
      if (value != 0) {
        number.number_class = Number::Class::Signed;
        number.signed_value = value;
      }
      return number;
    }
  } else {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(start, cursor_, value);
    if (ec == std::errc()) {
      number.unsigned_value = value;
      return number;
    }
  }
  return read_float(start, negative);  // an integer beyond both ranges
}

Number Reader::read_float(const char* start, bool negative) {
  if (cursor_ < end_ && *cursor_ == '.') {
    ++cursor_;
    if (cursor_ == end_) fail_at_next("EOF while parsing a value");
    if (!is_digit(*cursor_)) fail_at_next("invalid number");
    while (cursor_ < end_ && is_digit(*cursor_)) ++cursor_;
  }
  if (cursor_ < end_ && (*cursor_ == 'e' || *cursor_ == 'E')) {
    ++cursor_;
    if (cursor_ < end_ && (*cursor_ == '+' || *cursor_ == '-')) ++cursor_;
    if (cursor_ == end_) fail_at_last("EOF while parsing a value");
    if (!is_digit(*cursor_++)) fail_at_last("invalid number");
    while (cursor_ < end_ && is_digit(*cursor_)) ++cursor_;
  }
  Number number;
  number.number_class = Number::Class::Float;
  auto [end, ec] = std::from_chars(start, cursor_, number.float_value);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude_of(start + (negative ? 1 : 0), cursor_) > 0) fail_at_last("number out of range");
    number.float_value = negative ? -0.0 : 0.0;  // too small: rounds to zero
  } else if (ec != std::errc() || end != cursor_) {
    throw InternalError("number text accepted by the grammar but not by the conversion");
  }
  return number;
}

// ---- strings ----

void Reader::read_string(std::string& out) {
  ++cursor_;  // opening quote
  out.clear();
  bool non_ascii = false;
  for (;;) {
    const char* run = cursor_;
    while (cursor_ < end_) {
      const auto c = static_cast<unsigned char>(*cursor_);
      if (c == '"' || c == '\\' || c < 0x20) break;
      non_ascii |= c >= 0x80;
      ++cursor_;
    }
    out.append(run, cursor_);
    if (cursor_ == end_) fail_at_last("EOF while parsing a string");
    const char c = *cursor_++;
    if (c == '"') break;
    if (c == '\\') {
      read_escape(out);
      continue;
    }
    fail_at_last("control character (\\u0000-\\u001F) found while parsing a string");
  }
  if (non_ascii && !utf8::is_valid(out)) fail_at_last("invalid unicode code point");
}

void Reader::read_escape(std::string& out) {
  if (cursor_ == end_) fail_at_last("EOF while parsing a string");
  switch (*cursor_++) {
    case '"':
      out.push_back('"');
      return;
    case '\\':
      out.push_back('\\');
      return;
    case '/':
      out.push_back('/');
      return;
    case 'b':
      out.push_back('\b');
      return;
    case 'f':
      out.push_back('\f');
      return;
    case 'n':
      out.push_back('\n');
      return;
    case 'r':
      out.push_back('\r');
      return;
    case 't':
      out.push_back('\t');
      return;
    case 'u':
      break;
    default:
      fail_at_last("invalid escape");
  }
  const std::uint16_t unit = read_hex4();
  if (unit >= 0xDC00 && unit <= 0xDFFF) fail_at_last("invalid unicode code point");
  if (unit < 0xD800 || unit > 0xDBFF) {
    utf8::append(out, unit);
    return;
  }
  // A high surrogate: the low half must follow as a second escape.
  for (const char expected : {'\\', 'u'}) {
    if (cursor_ == end_) fail_at_last("EOF while parsing a string");
    if (*cursor_++ != expected) fail_at_last("lone leading surrogate in hex escape");
  }
  const std::uint16_t low = read_hex4();
  if (low < 0xDC00 || low > 0xDFFF) fail_at_last("lone leading surrogate in hex escape");
  utf8::append(out, 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00));
}

std::uint16_t Reader::read_hex4() {
  std::uint16_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (cursor_ == end_) fail_at_last("EOF while parsing a string");
    const int digit = hex_value(*cursor_++);
    if (digit < 0) fail_at_last("unexpected end of hex escape");
    value = static_cast<std::uint16_t>(value * 16 + digit);
  }
  return value;
}

// ---- containers ----

void Reader::enter() {
  if (++depth_ > kMaxDepth) fail_at_next("recursion limit exceeded");
  ++cursor_;
}

bool Reader::next_element(bool& first) {
  const int next = peek();
  if (next < 0) fail_at_next("EOF while parsing a list");
  if (next == ']') return false;
  if (first) {
    first = false;
    return true;
  }
  if (next != ',') fail_at_next("expected `,` or `]`");
  ++cursor_;
  const int after = peek();
  if (after == ']') fail_at_next("trailing comma");
  if (after < 0) fail_at_next("EOF while parsing a value");
  return true;
}

void Reader::end_array() {
  const int next = peek();
  if (next == ']') {
    ++cursor_;
    --depth_;
    return;
  }
  if (next < 0) fail_at_next("EOF while parsing a list");
  if (next == ',') {
    ++cursor_;
    if (peek() == ']') fail_at_next("trailing comma");
  }
  fail_at_next("trailing characters");
}

bool Reader::next_key(bool& first) {
  int next = peek();
  if (next < 0) fail_at_next("EOF while parsing an object");
  if (next == '}') return false;
  if (first) {
    first = false;
  } else {
    if (next != ',') fail_at_next("expected `,` or `}`");
    ++cursor_;
    next = peek();
    if (next == '}') fail_at_next("trailing comma");
    if (next < 0) fail_at_next("EOF while parsing a value");
  }
  if (next != '"') fail_at_next("key must be a string");
  return true;
}

void Reader::read_colon() {
  const int next = peek();
  if (next == ':') {
    ++cursor_;
    return;
  }
  fail_at_next(next < 0 ? "EOF while parsing an object" : "expected `:`");
}

void Reader::end_object() {
  const int next = peek();
  if (next == '}') {
    ++cursor_;
    --depth_;
    return;
  }
  if (next < 0) fail_at_next("EOF while parsing an object");
  fail_at_next(next == ',' ? "trailing comma" : "trailing characters");
}

void Reader::finish() {
  if (peek() >= 0) fail_at_next("trailing characters");
}

// ---- whole values ----

Value Reader::read_value() {
  const int next = peek();
  if (next < 0) fail_at_next("EOF while parsing a value");
  return read_value_at(next);
}

Value Reader::read_value_at(int next) {
  switch (next) {
    case 'n':
      read_null();
      return Value();
    case 't':
    case 'f':
      return Value(read_bool());
    case '"': {
      std::string text;
      read_string(text);
      return Value(std::move(text));
    }
    case '[': {
      enter();
      Array array;
      bool first = true;
      while (next_element(first)) array.push_back(read_value());
      end_array();
      return Value(std::move(array));
    }
    case '{': {
      enter();
      Object object;
      std::string key;
      bool first = true;
      while (next_key(first)) {
        read_string(key);
        read_colon();
        Value member = read_value();
        object.insert_or_assign(std::move(key), std::move(member));
      }
      end_object();
      return Value(std::move(object));
    }
    default:
      break;
  }
  if (next == '-' || is_digit(static_cast<char>(next))) {
    const Number number = read_number();
    switch (number.number_class) {
      case Number::Class::Unsigned:
        return Value(number.unsigned_value);
      case Number::Class::Signed:
        return Value(number.signed_value);
      case Number::Class::Float:
        return Value(number.float_value);
    }
  }
  fail_at_next("expected value");
}

void Reader::skip_value() { (void)read_value(); }

Value parse(std::string_view text) {
  Reader reader(text);
  Value value = reader.read_value();
  reader.finish();
  return value;
}

}  // namespace quib::core::json
