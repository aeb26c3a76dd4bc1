#include "core/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/error.h"

namespace quib::core::number_text {
namespace {

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

// Lays the digits out without an exponent; returns whether a decimal point was written.
bool append_positional(std::string& out, const ShortestDigits& d) {
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

template <typename Number>
void append_to_chars(std::string& out, Number value) {
  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) throw InternalError("integer text does not fit");
  out.append(text, end);
}

}  // namespace

void append_json_float(std::string& out, double value) {
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

void append_plain(std::string& out, double value) {
  if (append_special(out, value, false)) return;
  append_positional(out, shortest_digits(value));
}

void append_plain_unsigned(std::string& out, std::uint64_t value) { append_to_chars(out, value); }

void append_plain_signed(std::string& out, std::int64_t value) { append_to_chars(out, value); }

void append_fixed(std::string& out, double value, int precision) {
  if (append_special(out, value, false)) return;
  // Sign, the 309 integer digits of the largest double, the point and the fraction.
  const std::size_t start = out.size();
  out.resize(start + 312 + static_cast<std::size_t>(precision));
  auto [end, ec] = std::to_chars(out.data() + start, out.data() + out.size(), value,
                                 std::chars_format::fixed, precision);
  if (ec != std::errc()) throw InternalError("fixed float text does not fit");
  out.resize(static_cast<std::size_t>(end - out.data()));
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

std::string json_float(double value) {
  std::string out;
  append_json_float(out, value);
  return out;
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

std::string fixed_signed(double value, int precision) {
  std::string out;
  append_fixed_signed(out, value, precision);
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

}  // namespace quib::core::number_text
