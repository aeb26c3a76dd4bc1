// The JSON reader's messages and positions, number classes, and the compact writer.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "core/error.h"
#include "core/json.h"
#include "core/json_reader.h"
#include "core/json_writer.h"

namespace quib::core::json {
namespace {

std::string parse_error(std::string_view text) {
  try {
    parse(text);
  } catch (const Error& error) {
    return error.full();
  }
  return "(parsed)";
}

struct SyntaxCase {
  std::string text;
  std::string message;
};

class SyntaxErrors : public testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxErrors, ReportMessageLineAndColumn) {
  EXPECT_EQ(parse_error(GetParam().text), GetParam().message) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Reader, SyntaxErrors,
    testing::Values(
        SyntaxCase{"", "EOF while parsing a value at line 1 column 0"},
        SyntaxCase{"   ", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"\n", "EOF while parsing a value at line 2 column 0"},
        SyntaxCase{"[", "EOF while parsing a list at line 1 column 1"},
        SyntaxCase{"[1", "EOF while parsing a list at line 1 column 2"},
        SyntaxCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"{", "EOF while parsing an object at line 1 column 1"},
        SyntaxCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        SyntaxCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        SyntaxCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        SyntaxCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        SyntaxCase{"\"ab\\", "EOF while parsing a string at line 1 column 4"},
        SyntaxCase{"x", "expected value at line 1 column 1"},
        SyntaxCase{"[1,+2]", "expected value at line 1 column 4"},
        SyntaxCase{"nul", "EOF while parsing a value at line 1 column 3"},
        SyntaxCase{"nulx", "expected ident at line 1 column 4"},
        SyntaxCase{"[trUe]", "expected ident at line 1 column 4"},
        SyntaxCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        SyntaxCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        SyntaxCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        SyntaxCase{"{1:2}", "key must be a string at line 1 column 2"},
        SyntaxCase{"{,}", "key must be a string at line 1 column 2"},
        SyntaxCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        SyntaxCase{"-", "EOF while parsing a value at line 1 column 1"},
        SyntaxCase{"-x", "invalid number at line 1 column 2"},
        SyntaxCase{"01", "invalid number at line 1 column 2"},
        SyntaxCase{"1.x", "invalid number at line 1 column 3"},
        SyntaxCase{"1.", "EOF while parsing a value at line 1 column 2"},
        SyntaxCase{"1e", "EOF while parsing a value at line 1 column 2"},
        SyntaxCase{"1e+x", "invalid number at line 1 column 4"},
        SyntaxCase{"1e400", "number out of range at line 1 column 5"},
        SyntaxCase{"[-1.5e999]", "number out of range at line 1 column 9"},
        SyntaxCase{"\"\\uDC00\"", "invalid unicode code point at line 1 column 7"},
        SyntaxCase{"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        SyntaxCase{"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 4"},
        SyntaxCase{"\"a\x01\"",
                   "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                   "column 3"},
        SyntaxCase{"\"a\nb\"",
                   "control character (\\u0000-\\u001F) found while parsing a string at line 2 "
                   "column 0"},
        SyntaxCase{"\"\\uD800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
        SyntaxCase{"\"\\uD800\\u0041\"",
                   "lone leading surrogate in hex escape at line 1 column 13"},
        SyntaxCase{"\"\\u12\"", "unexpected end of hex escape at line 1 column 6"},
        SyntaxCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        SyntaxCase{"[1,]", "trailing comma at line 1 column 4"},
        SyntaxCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        SyntaxCase{"1 2", "trailing characters at line 1 column 3"},
        SyntaxCase{"{} x", "trailing characters at line 1 column 4"},
        SyntaxCase{"{}{}", "trailing characters at line 1 column 3"},
        SyntaxCase{"[1]\n  x", "trailing characters at line 2 column 3"},
        SyntaxCase{"{\"a\":\n [1,\n  2,\n  x]}", "expected value at line 4 column 3"}));

TEST(Reader, AcceptsSurroundingWhitespace) {
  EXPECT_EQ(parse(" \t\r\n[1]\n\r\t "), Value(Array{Value(std::uint64_t{1})}));
}

TEST(Reader, NestsUpTo128Deep) {
  const std::string deepest = std::string(128, '[') + std::string(128, ']');
  EXPECT_NO_THROW(parse(deepest));
  EXPECT_EQ(parse_error("[" + deepest + "]"), "recursion limit exceeded at line 1 column 129");
  std::string mixed(100, '[');
  for (int i = 0; i < 29; ++i) mixed.append("{\"a\":");
  EXPECT_EQ(parse_error(mixed), "recursion limit exceeded at line 1 column " +
                                    std::to_string(mixed.size() - 4));
  // Far too deep input fails cleanly rather than exhausting the stack.
  EXPECT_EQ(parse_error(std::string(1'000'000, '[')),
            "recursion limit exceeded at line 1 column 129");
}

struct NumberCase {
  std::string text;
  Value value;
};

class NumberClasses : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberClasses, ReadIntoTheirClass) {
  const Value value = parse(GetParam().text);
  EXPECT_EQ(value.data.index(), GetParam().value.data.index()) << GetParam().text;
  EXPECT_EQ(value, GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Reader, NumberClasses,
    testing::Values(NumberCase{"7", Value(std::uint64_t{7})},
                    NumberCase{"0", Value(std::uint64_t{0})},
                    NumberCase{"-7", Value(std::int64_t{-7})},
                    NumberCase{"7.0", Value(7.0)}, NumberCase{"1e3", Value(1000.0)},
                    NumberCase{"1E+3", Value(1000.0)}, NumberCase{"2.5e-1", Value(0.25)},
                    NumberCase{"18446744073709551615",
                               Value(std::numeric_limits<std::uint64_t>::max())},
                    NumberCase{"18446744073709551616", Value(18446744073709551616.0)},
                    NumberCase{"-9223372036854775808",
                               Value(std::numeric_limits<std::int64_t>::min())},
                    NumberCase{"-9223372036854775809", Value(-9223372036854775809.0)},
                    NumberCase{"1e-400", Value(0.0)},
                    NumberCase{"0.1", Value(0.1)},
                    NumberCase{"123456789012345678901234567890",
                               Value(123456789012345678901234567890.0)}));

TEST(Reader, MinusZeroIsTheIntegerZeroUnlessWrittenAsAFloat) {
  EXPECT_EQ(parse("-0"), Value(std::uint64_t{0}));
  EXPECT_EQ(to_string(parse("[-0,0]")), "[0,0]");
  for (const char* text : {"-0.0", "-0e0", "-0E+2"}) {
    const Value value = parse(text);
    ASSERT_NE(value.get_if<double>(), nullptr) << text;
    EXPECT_TRUE(std::signbit(*value.get_if<double>())) << text;
  }
}

TEST(Reader, LaterDuplicateKeyReplacesTheEarlierOne) {
  const Value value = parse(R"({"b":1,"a":2,"b":{"c":3}})");
  const Object* object = value.get_if<Object>();
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(object->size(), 2u);
  EXPECT_EQ(object->begin()->first, "a");
  EXPECT_EQ(to_string(value), R"({"a":2,"b":{"c":3}})");
}

TEST(Reader, DecodesEscapes) {
  EXPECT_EQ(parse(R"("\"\\\/\b\f\n\r\t\u0041\u00e9\u20AC\ud83d\ude00")"),
            Value("\"\\/\b\f\n\r\tA\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  EXPECT_EQ(parse("\"caf\xc3\xa9\""), Value("caf\xc3\xa9"));
}

TEST(Writer, EscapesQuotesBackslashesAndControlCharacters) {
  std::string out;
  write_string(out, std::string("a\"b\\c\b\f\n\r\t\x01\x1f\x7f/\xc3\xa9", 16));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001f\x7f/\xc3\xa9\"");
  out.clear();
  write_string(out, std::string_view("\0", 1));
  EXPECT_EQ(out, "\"\\u0000\"");
}

// A text is plain exactly when the writer would write it unchanged between quotes, wherever
// in an eight-byte word the byte that needs an escape sits.
TEST(Writer, PlainTextsAreThoseWrittenUnescaped) {
  const char specials[] = {'"', '\\', '\0', '\x01', '\n', '\x1f', ' ', '\x7f', '\x80', '\xff', 'a'};
  for (const char special : specials) {
    for (std::size_t size = 1; size <= 17; ++size) {
      for (std::size_t at = 0; at < size; ++at) {
        std::string text(size, 'x');
        text[at] = special;
        std::string written;
        write_string(written, text);
        EXPECT_EQ(is_plain_string(text), written == "\"" + text + "\"")
            << static_cast<int>(special) << " at " << at << " of " << size;
      }
    }
  }
  EXPECT_TRUE(is_plain_string(""));
}

TEST(Writer, WritesCompactTextWithKeysInByteOrder) {
  Object payload;
  payload["a"] = Value("x");
  Object line;
  line["record_id"] = Value(std::uint64_t{1});
  line["payload"] = Value(payload);
  EXPECT_EQ(to_string(Value(line)), R"({"payload":{"a":"x"},"record_id":1})");

  Object object;
  object["\xc3\xa9"] = Value(true);
  object["Z"] = Value(nullptr);
  object["a"] = Value(Array{Value(std::int64_t{-3}), Value(2.0), Value(Array{})});
  EXPECT_EQ(to_string(Value(object)), "{\"Z\":null,\"a\":[-3,2.0,[]],\"\xc3\xa9\":true}");
}

TEST(Writer, WritesFloatsWithFractionOrExponentAndNonFiniteAsNull) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},          {0.1, "0.1"},
      {-0.0, "-0.0"},        {0.0, "0.0"},
      {1e300, "1e300"},      {1.5e-7, "1.5e-7"},
      {1e-5, "0.00001"},     {1e15, "1000000000000000.0"},
      {1e16, "1e16"},        {123.456, "123.456"},
      {5e-324, "5e-324"},    {1.7976931348623157e308, "1.7976931348623157e308"},
      {-2.5, "-2.5"},        {std::numeric_limits<double>::quiet_NaN(), "null"},
      {HUGE_VAL, "null"},    {-HUGE_VAL, "null"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(to_string(Value(value)), text) << text;
}

TEST(Writer, FloatTextReadsBackToTheSameDouble) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const Value back = parse(to_string(Value(value)));
    ASSERT_NE(back.get_if<double>(), nullptr) << to_string(Value(value));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*back.get_if<double>()),
              std::bit_cast<std::uint64_t>(value))
        << to_string(Value(value));
  }
}

Value random_value(std::mt19937_64& random, int depth) {
  switch (random() % (depth > 3 ? 6 : 8)) {
    case 0:
      return Value();
    case 1:
      return Value(random() % 2 == 0);
    case 2:
      return Value(std::uint64_t{random()});
    case 3:
      return Value(static_cast<std::int64_t>(random() | (std::uint64_t{1} << 63)));
    case 4:
      return Value(std::ldexp(static_cast<double>(random() % 100000), int(random() % 80) - 40));
    case 5: {
      std::string text;
      for (std::uint64_t n = random() % 6; n > 0; --n) {
        const char pool[] = {'a', '"', '\\', '\n', '\x01', '\x7f', ' ', '/'};
        text.push_back(pool[random() % sizeof pool]);
      }
      if (random() % 3 == 0) text.append("\xe2\x82\xac");
      return Value(std::move(text));
    }
    case 6: {
      Array array;
      for (std::uint64_t n = random() % 4; n > 0; --n) {
        array.push_back(random_value(random, depth + 1));
      }
      return Value(std::move(array));
    }
    default: {
      Object object;
      for (std::uint64_t n = random() % 4; n > 0; --n) {
        object["k" + std::to_string(random() % 5)] = random_value(random, depth + 1);
      }
      return Value(std::move(object));
    }
  }
}

TEST(Writer, WrittenTextParsesBackToTheSameValue) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 2000; ++i) {
    const Value value = random_value(random, 0);
    ASSERT_EQ(parse(to_string(value)), value) << to_string(value);
  }
}

TEST(Reader, DescribesFoundValues) {
  Number number;
  number.unsigned_value = 4294967296;
  EXPECT_EQ(describe_number(number), "integer `4294967296`");
  number.number_class = Number::Class::Signed;
  number.signed_value = -1;
  EXPECT_EQ(describe_number(number), "integer `-1`");
  number.number_class = Number::Class::Float;
  number.float_value = 2.5;
  EXPECT_EQ(describe_number(number), "floating point `2.5`");
  number.float_value = 1000.0;
  EXPECT_EQ(describe_number(number), "floating point `1000.0`");
  EXPECT_EQ(describe_string("a\"b\\\n\x01"), "string \"a\\\"b\\\\\\n\\u{1}\"");
}

TEST(Reader, InvalidTypeReadsTheFoundValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"null", "invalid type: null, expected u64 at line 1 column 4"},
      {" true", "invalid type: boolean `true`, expected u64 at line 1 column 5"},
      {"\"x\"", "invalid type: string \"x\", expected u64 at line 1 column 3"},
      {"2.5", "invalid type: floating point `2.5`, expected u64 at line 1 column 3"},
      {"[1]", "invalid type: sequence, expected u64 at line 1 column 1"},
      {"{}", "invalid type: map, expected u64 at line 1 column 1"},
      {"}", "expected value at line 1 column 1"},
  };
  for (const auto& [text, message] : cases) {
    Reader reader(text);
    try {
      reader.fail_invalid_type("u64");
    } catch (const Error& error) {
      EXPECT_EQ(error.full(), message);
    }
  }
}

}  // namespace
}  // namespace quib::core::json
