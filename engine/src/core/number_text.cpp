#include "core/number_text.h"

#include <algorithm>
#include <charconv>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "core/ascii_text.h"
#include "core/error.h"

namespace quib::core::number_text {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The powers of ten that a double holds exactly.
constexpr std::array<double, 23> kExactPowersOfTen = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Decimal exponent of the leading significant digit of a number that has one, including its
// exponent part; saturates instead of overflowing. Only its sign is used.
std::int64_t leading_digit_exponent(std::string_view mantissa, std::string_view exponent) {
  std::int64_t position = 0;
  const std::size_t point = mantissa.find('.');
  const std::size_t int_digits = point == std::string_view::npos ? mantissa.size() : point;
  for (std::size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.' || mantissa[i] == '0') continue;
    position = i < int_digits ? static_cast<std::int64_t>(int_digits - i - 1)
                              : -static_cast<std::int64_t>(i - int_digits);
    break;
  }
  std::int64_t exp = 0;
  bool negative = false;
  std::size_t i = 0;
  if (i < exponent.size() && (exponent[i] == '+' || exponent[i] == '-')) {
    negative = exponent[i++] == '-';
  }
  for (; i < exponent.size(); ++i) {
    exp = std::min<std::int64_t>(exp * 10 + (exponent[i] - '0'), std::int64_t{1} << 40);
  }
  return position + (negative ? -exp : exp);
}


// The shortest round-trip digits of a finite double: value = d0.d1d2... x 10^exponent.
struct ShortestDigits {
  bool negative = false;
  char digits[24];
  int count = 0;
  int exponent = 0;
};

ShortestDigits shortest_digits(double value) {
  // to_chars in scientific form without precision gives exactly the shortest round-trip digits;
  // only the layout around them is ours.
  char text[40];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  if (ec != std::errc()) throw InternalError("shortest float text does not fit");
  ShortestDigits d;
  const char* p = text;
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // the exponent's sign is always written
  int exponent = 0;
  std::from_chars(p, end, exponent);
  d.exponent = negative_exponent ? -exponent : exponent;
  return d;
}

// Characters written into fixed room, with the few appending calls the layouts below make of a
// string; the room is sized for the longest text they write.
struct RoomOut {
  char* at;
  void push_back(char c) { *at++ = c; }
  void append(const char* text, std::size_t n) {
    std::memcpy(at, text, n);
    at += n;
  }
  void append(const char* text) { append(text, std::strlen(text)); }
  void append(const char* first, const char* last) {
    append(first, static_cast<std::size_t>(last - first));
  }
  void append(std::size_t n, char c) {
    std::memset(at, c, n);
    at += n;
  }
};

// Lays the digits out without an exponent; returns whether a decimal point was written.
template <typename Out>
bool append_positional(Out& out, const ShortestDigits& d) {
  if (d.negative) out.push_back('-');
  const int last = d.count - 1;
  if (d.exponent >= last) {
    out.append(d.digits, static_cast<std::size_t>(d.count));
    out.append(static_cast<std::size_t>(d.exponent - last), '0');
    return false;
  }
  if (d.exponent >= 0) {
    const auto whole = static_cast<std::size_t>(d.exponent + 1);
    out.append(d.digits, whole);
    out.push_back('.');
    out.append(d.digits + whole, static_cast<std::size_t>(d.count) - whole);
    return true;
  }
  out.append("0.");
  out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
  out.append(d.digits, static_cast<std::size_t>(d.count));
  return true;
}

bool append_special(std::string& out, double value, bool plus_sign) {
  if (std::isnan(value)) {
    out.append("NaN");
    return true;
  }
  if (std::isinf(value)) {
    out.append(value < 0 ? "-inf" : (plus_sign ? "+inf" : "inf"));
    return true;
  }
  return false;
}

template <typename Out, typename Number>
void append_to_chars(Out& out, Number value) {
  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) throw InternalError("integer text does not fit");
  out.append(text, end);
}

template <typename Out>
void write_json_float(Out& out, double value) {
  const ShortestDigits d = shortest_digits(value);
  // Positional between 1e-5 and 1e16, as people expect to read them; an exponent outside, so
  // that 1e300 does not become three hundred zeros.
  if (d.exponent >= -5 && d.exponent < 16) {
    if (!append_positional(out, d)) out.append(".0");
    return;
  }
  if (d.negative) out.push_back('-');
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  out.push_back('e');
  append_to_chars(out, d.exponent);
}

}  // namespace

void append_json_float(std::string& out, double value) { write_json_float(out, value); }

std::string_view json_float_text(double value, char (&room)[kNumberRoom]) {
  RoomOut out{room};
  write_json_float(out, value);
  return {room, static_cast<std::size_t>(out.at - room)};
}

std::string_view plain_text(std::uint64_t value, char (&room)[kNumberRoom]) {
  RoomOut out{room};
  append_to_chars(out, value);
  return {room, static_cast<std::size_t>(out.at - room)};
}

std::string_view plain_text(std::int64_t value, char (&room)[kNumberRoom]) {
  RoomOut out{room};
  append_to_chars(out, value);
  return {room, static_cast<std::size_t>(out.at - room)};
}

void append_plain(std::string& out, double value) {
  if (append_special(out, value, false)) return;
  append_positional(out, shortest_digits(value));
}

void append_plain_unsigned(std::string& out, std::uint64_t value) { append_to_chars(out, value); }

void append_plain_signed(std::string& out, std::int64_t value) { append_to_chars(out, value); }

void append_fixed(std::string& out, double value, int precision) {
  if (append_special(out, value, false)) return;
  if (precision < 0) throw InternalError("negative fixed precision");
  // Sign, the 309 integer digits of the largest double, the point and the fraction. The digits
  // are written aside and only they are appended: growing `out` to this bound and cutting it
  // back would leave every short number holding hundreds of bytes of capacity.
  constexpr int kStackPrecision = 32;
  constexpr std::size_t kWholeDigits = 312;
  char stack[kWholeDigits + kStackPrecision];
  std::unique_ptr<char[]> heap;
  char* text = stack;
  std::size_t size = sizeof stack;
  if (precision > kStackPrecision) {
    size = kWholeDigits + static_cast<std::size_t>(precision);
    heap = std::make_unique_for_overwrite<char[]>(size);
    text = heap.get();
  }
  auto [end, ec] = std::to_chars(text, text + size, value, std::chars_format::fixed, precision);
  if (ec != std::errc()) throw InternalError("fixed float text does not fit");
  out.append(text, end);
}

void append_fixed_signed(std::string& out, double value, int precision) {
  if (append_special(out, value, true)) return;
  if (!std::signbit(value)) out.push_back('+');
  append_fixed(out, value, precision);
}

void append_percent(std::string& out, double value, int precision) {
  append_fixed(out, value, precision);
  out.push_back('%');
}

void append_padded(std::string& out, std::uint64_t value, std::size_t width) {
  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) throw InternalError("integer text does not fit");
  const auto length = static_cast<std::size_t>(end - text);
  if (length < width) out.append(width - length, ' ');
  out.append(text, length);
}

std::string plain(double value) {
  std::string out;
  append_plain(out, value);
  return out;
}

std::string fixed(double value, int precision) {
  std::string out;
  append_fixed(out, value, precision);
  return out;
}

std::string percent(double value, int precision) {
  std::string out;
  append_percent(out, value, precision);
  return out;
}

std::string padded(std::uint64_t value, std::size_t width) {
  std::string out;
  append_padded(out, value, width);
  return out;
}

bool parse_float(std::string_view text, double& out) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
    out = negative ? -std::numeric_limits<double>::infinity()
                   : std::numeric_limits<double>::infinity();
    return true;
  }
  if (equals_ignoring_ascii_case(body, "nan")) {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }

  std::size_t i = 0;
  std::size_t digits = 0;
  std::size_t fraction_digits = 0;
  std::uint64_t mantissa = 0;  // exact while there are at most 19 digits
  auto take_digits = [&] {
    for (; i < body.size() && is_digit(body[i]); ++i, ++digits) {
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(body[i] - '0');
    }
  };
  take_digits();
  if (i < body.size() && body[i] == '.') {
    ++i;
    const std::size_t before = digits;
    take_digits();
    fraction_digits = digits - before;
  }
  if (digits == 0) return false;
  // Most texts are short decimals: a mantissa below 2^53 and a power of ten up to 1e22 are both
  // exact doubles, so one division gives the correctly rounded value, as the full parse would.
  if (i == body.size() && digits <= 15 && fraction_digits < kExactPowersOfTen.size()) {
    const double value = static_cast<double>(mantissa) / kExactPowersOfTen[fraction_digits];
    out = negative ? -value : value;
    return true;
  }
  const std::size_t mantissa_end = i;
  std::size_t exponent_start = i;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    exponent_start = i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    const std::size_t exponent_digits = i;
    while (i < body.size() && is_digit(body[i])) ++i;
    if (i == exponent_digits) return false;
  }
  if (i != body.size()) return false;

  double value = 0.0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value,
                                         std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    const bool overflow = leading_digit_exponent(body.substr(0, mantissa_end),
                                                 body.substr(exponent_start)) > 0;
    value = overflow ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return false;
  }
  out = negative ? -value : value;
  return true;
}

}  // namespace quib::core::number_text
