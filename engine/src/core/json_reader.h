// The JSON reader: one whole text into a `Value`, or a cursor for readers that build their own
// types straight from the text. Messages and positions are those that callers match on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"

namespace quib::core::json {

// Parses one complete JSON text (whitespace around it allowed). Throws quib::Error with the
// reader's message and " at line L column C". Nesting deeper than 128 arrays and objects is
// refused, so the reader's own recursion stays bounded.
Value parse(std::string_view text);

// A number as read, in its class: unsigned (not negative, fits u64), signed (negative, fits
// i64) or float (a fraction or an exponent, or an integer outside both ranges); "-0" is the
// unsigned 0.
struct Number {
  enum class Class : std::uint8_t { Unsigned, Signed, Float };
  Class number_class = Class::Unsigned;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  double float_value = 0.0;
};

// The reader's cursor, for readers that build their own types straight from the text instead of
// going through `Value` (the JSON form of stored records). Every failure throws quib::Error with
// " at line L column C" appended; a syntax error points at the offending byte, a data error
// (`fail_data`) at the end of what was consumed.
class Reader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text)
      : begin_(text.data()), cursor_(text.data()), end_(text.data() + text.size()) {}

  // Skips whitespace; the next byte, or -1 at the end of the text. Consumes nothing else.
  int peek();
  // Consumes the byte that `peek` returned.
  void bump() { ++cursor_; }

  // The next value, whatever it is. EOF gives "EOF while parsing a value".
  Value read_value();
  // Parses the next value and drops it.
  void skip_value();
  // The next byte must be the opening quote; the decoded text replaces `out`'s content.
  void read_string(std::string& out);
  // The next byte must be '-' or a digit.
  Number read_number();
  // The next byte must be the first letter of true, false or null.
  bool read_bool();
  void read_null();

  // Arrays: after `enter` (which checks the depth and consumes the bracket), `next_element`
  // says whether another element follows (consuming the comma between elements); `end_array`
  // consumes the closing bracket, refusing anything else with "trailing characters".
  void enter();
  bool next_element(bool& first);
  void end_array();
  // Objects: `next_key` says whether another member follows and leaves the cursor at the key's
  // opening quote; `read_colon` consumes the colon after the key; `end_object` consumes the
  // closing brace.
  bool next_key(bool& first);
  void read_colon();
  void end_object();

  // Requires that only whitespace is left.
  void finish();

  // Refuses the next value as being of the wrong type: "invalid type: {found}, expected
  // {expected}", where the found value is read to describe it.
  [[noreturn]] void fail_invalid_type(std::string_view expected);
  // A syntax error at the next byte.
  [[noreturn]] void fail_at_next(std::string_view message) const;
  // A syntax error at the byte just consumed.
  [[noreturn]] void fail_at_last(std::string_view message) const;
  // A data error positioned after what was consumed.
  [[noreturn]] void fail_data(std::string_view message) const { fail_at_last(message); }

 private:
  [[noreturn]] void fail_at(const char* position, std::string_view message) const;
  void read_ident(std::string_view rest);
  void read_escape(std::string& out);
  std::uint16_t read_hex4();
  Value read_value_at(int next);
  Number read_float(const char* start, bool negative);

  const char* begin_;
  const char* cursor_;
  const char* end_;
  int depth_ = 0;
};

// How data errors describe a value that was found: "integer `5`", "floating point `2.5`",
// "string \"a\"", ...
std::string describe_number(const Number& number);
std::string describe_string(std::string_view text);

}  // namespace quib::core::json
