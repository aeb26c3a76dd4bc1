// Numbers as text: the one place that turns an integer or a double into characters, and the one
// grammar by which input texts read as numbers.
//
// Three forms exist. The JSON form of a double is its shortest round-trip text, always with a
// fraction or an exponent ("1.0", "0.1", "1e300"). The plain form ("{}") is the same shortest
// digits laid out without an exponent and without a fraction for whole values ("1", "2.5",
// "0.0000001"). The fixed form ("{:.4}") is correctly rounded from the exact binary value, ties
// to even. Outside JSON the special values read "NaN", "inf" and "-inf"; a negative zero keeps
// its sign in every form.
//
// Every writing function appends to `out` only the characters it writes, and allocates nothing
// beyond growing it (a fixed form of more than 32 fraction digits also takes a scratch buffer).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quib::core::number_text {

// The JSON text of a finite double. Callers write null for NaN and the infinities.
void append_json_float(std::string& out, double value);

// The same texts written into room of the caller's, for a per-value path that may allocate
// nothing: the JSON text of a finite double and the "{}" of an integer. The view is of `room`.
inline constexpr std::size_t kNumberRoom = 32;
std::string_view json_float_text(double value, char (&room)[kNumberRoom]);
std::string_view plain_text(std::uint64_t value, char (&room)[kNumberRoom]);
std::string_view plain_text(std::int64_t value, char (&room)[kNumberRoom]);

// "{}" of a double.
void append_plain(std::string& out, double value);
void append_plain_unsigned(std::string& out, std::uint64_t value);
void append_plain_signed(std::string& out, std::int64_t value);
// "{}" of any integer type.
template <std::integral Int>
void append_plain(std::string& out, Int value) {
  if constexpr (std::is_signed_v<Int>) {
    append_plain_signed(out, static_cast<std::int64_t>(value));
  } else {
    append_plain_unsigned(out, static_cast<std::uint64_t>(value));
  }
}

// "{:.N}" with N = `precision` digits after the point.
void append_fixed(std::string& out, double value, int precision);
// "{:+.N}": as `append_fixed` with the sign always written ("+0.0000"); NaN has no sign.
void append_fixed_signed(std::string& out, double value, int precision);
// "{:.N}%": the fixed form followed by a percent sign (the caller scales by 100).
void append_percent(std::string& out, double value, int precision);
// "{:W}": the integer right-aligned in a field at least `width` characters wide.
void append_padded(std::string& out, std::uint64_t value, std::size_t width);

// Returning forms, for call sites that build one cell at a time.
std::string plain(double value);
template <std::integral Int>
std::string plain(Int value) {
  std::string out;
  append_plain(out, value);
  return out;
}
std::string fixed(double value, int precision);
std::string percent(double value, int precision);
std::string padded(std::uint64_t value, std::size_t width);

// The way back, for numbers that arrive as text (CSV fields, JSON strings) at ingestion:
// whether a text converts to a float by the number grammar of input texts, and to which value: an
// optional sign, then digits with at most one decimal point and an optional exponent, or one of
// the words inf, infinity and nan in any letter case. Overflow gives an infinity.
bool parse_float(std::string_view text, double& out);

}  // namespace quib::core::number_text
