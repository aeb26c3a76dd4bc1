// Number texts: the plain "{}" form, fixed precision, signs, padding, the JSON form, and the
// grammar by which input texts read as numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "core/number_text.h"
#include "number_forms.h"

namespace quib::core::number_text {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(PlainForm, WritesShortestDigitsWithoutExponentOrWholeFraction) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {2.5, "2.5"},
      {0.1, "0.1"},
      {-123.25, "-123.25"},
      {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000"},
      {1.5e22, "15000000000000000000000"},
      {0.30000000000000004, "0.30000000000000004"},
      {kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(plain(value), text) << text;
  EXPECT_EQ(plain(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(plain(1e300).size(), 301u);
  EXPECT_EQ(plain(1e300).substr(0, 2), "10");
}

TEST(PlainForm, WritesIntegersInDecimal) {
  EXPECT_EQ(plain(std::uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(plain(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(plain(0), "0");
  EXPECT_EQ(plain(std::uint32_t{42}), "42");
}

TEST(PlainForm, ReadsBackToTheSameDouble) {
  std::mt19937_64 random(3);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string text = plain(value);
    ASSERT_EQ(text.find('e'), std::string::npos) << text;
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

struct FixedCase {
  double value;
  int precision;
  const char* text;
};

class FixedForm : public testing::TestWithParam<FixedCase> {};

TEST_P(FixedForm, RoundsTheExactBinaryValueTiesToEven) {
  EXPECT_EQ(fixed(GetParam().value, GetParam().precision), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, FixedForm,
    testing::Values(FixedCase{0.5, 4, "0.5000"}, FixedCase{1.0 / 3.0, 4, "0.3333"},
                    FixedCase{2.0 / 3.0, 6, "0.666667"}, FixedCase{0.125, 2, "0.12"},
                    FixedCase{0.375, 2, "0.38"}, FixedCase{2.5, 0, "2"},
                    FixedCase{0.00005, 4, "0.0001"},  // the double lies above the tie
                    FixedCase{1.005, 2, "1.00"},      // the double lies below the tie
                    FixedCase{-0.0, 4, "-0.0000"}, FixedCase{-0.00001, 4, "-0.0000"},
                    FixedCase{1e20, 1, "100000000000000000000.0"},
                    FixedCase{kNaN, 4, "NaN"}, FixedCase{kInf, 4, "inf"},
                    FixedCase{-kInf, 2, "-inf"}));

TEST(FixedForm, WritesTheWholeWidthAndLongFractions) {
  constexpr double kLargest = std::numeric_limits<double>::max();
  const std::string largest = fixed(-kLargest, 40);
  EXPECT_EQ(largest.size(), 1 + 309 + 1 + 40u);
  EXPECT_EQ(largest.substr(0, 17), "-1797693134862315");
  EXPECT_EQ(largest.substr(310), "." + std::string(40, '0'));
  EXPECT_EQ(fixed(0.1, 40), "0.1000000000000000055511151231257827021182");
}

// A cell of a held result table is one of these texts, so spare capacity multiplies by the
// number of cells.
TEST(FixedForm, TextsKeepNoSpareCapacity) {
  const std::string texts[] = {fixed(0.5, 4),           fixed(1.0 / 3.0, 6),
                               fixed_signed(-0.25, 4),  percent(12.345, 1),
                               fixed(123456789.0, 2),   plain(0.1),
                               json_float(1e300),       fixed(-1e300, 2)};
  for (const std::string& text : texts) {
    EXPECT_LE(text.capacity(), std::max<std::size_t>(15, 2 * text.size())) << text;
  }
  std::string cell = "contrib=";
  append_fixed(cell, 0.0625, 4);
  EXPECT_EQ(cell, "contrib=0.0625");
  EXPECT_LE(cell.capacity(), 2 * cell.size());
}

TEST(SignedFixedForm, AlwaysWritesTheSign) {
  EXPECT_EQ(fixed_signed(0.0, 4), "+0.0000");
  EXPECT_EQ(fixed_signed(-0.0, 4), "-0.0000");
  EXPECT_EQ(fixed_signed(0.12345, 4), "+0.1235");
  EXPECT_EQ(fixed_signed(-0.5, 4), "-0.5000");
  EXPECT_EQ(fixed_signed(kInf, 4), "+inf");
  EXPECT_EQ(fixed_signed(-kInf, 4), "-inf");
  EXPECT_EQ(fixed_signed(kNaN, 4), "NaN");
}

TEST(PercentAndPadding, FollowTheirTemplates) {
  EXPECT_EQ(percent(12.345, 1), "12.3%");
  EXPECT_EQ(percent(99.95, 1), "100.0%");  // 99.95 is stored slightly above the tie
  EXPECT_EQ(padded(42, 6), "    42");
  EXPECT_EQ(padded(1234567, 6), "1234567");
  EXPECT_EQ(padded(0, 6), "     0");
}

TEST(JsonForm, AlwaysHasAFractionOrAnExponent) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},     {2.0, "2.0"},       {-0.0, "-0.0"},   {0.5, "0.5"},
      {1e-5, "0.00001"}, {1e-6, "1e-6"},    {1.25e-9, "1.25e-9"}, {1e16, "1e16"},
      {1.2345e17, "1.2345e17"}, {9007199254740993.0, "9007199254740992.0"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(json_float(value), text) << text;
}

// The room form is the appending form written elsewhere, down to the longest texts it must hold.
TEST(JsonForm, RoomFormWritesTheAppendedTexts) {
  char room[kNumberRoom];
  for (double value : {1.0, -0.0, 0.1, 1e-5, 1e16, -1.2345678901234567e-300,
                       -0.000012345678901234567, -1234567890123456.7,
                       std::numeric_limits<double>::max(),
                       -std::numeric_limits<double>::denorm_min()}) {
    EXPECT_EQ(json_float_text(value, room), json_float(value));
  }
  for (std::int64_t value :
       {std::int64_t{0}, std::int64_t{-7}, std::numeric_limits<std::int64_t>::min()}) {
    EXPECT_EQ(plain_text(value, room), plain(value));
  }
  EXPECT_EQ(plain_text(std::numeric_limits<std::uint64_t>::max(), room), "18446744073709551615");
}

// Short decimals take a quicker road than long ones; both must give the correctly rounded
// double that strtod gives, bit for bit, on either side of where the roads part.
TEST(FloatGrammar, DecimalsRoundAsStrtodDoes) {
  const char* const texts[] = {
      "0.1", "0.3", "2.675", "4.35", "123.456", "-0.0", "000.5", "12345.6789012345",
      "999999999999999", "9999999999999999", "9007199254740993", "1.0000000000000002",
      "0.0000000000000000000001", "0.00000000000000000000001", "0.1234567890123456789",
      "98765.4321e-3", "7e22", "1.", "0.9007199254740993"};
  for (const char* text : texts) {
    double value = -1.0;
    ASSERT_TRUE(parse_float(text, value)) << text;
    const double expected = std::strtod(text, nullptr);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(expected)) << text;
  }
}

struct FloatCase {
  const char* text;
  bool parses;
  double value;
};

class FloatGrammar : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatGrammar, MatchesTheNumberTexts) {
  const FloatCase& c = GetParam();
  double value = -1.0;
  ASSERT_EQ(parse_float(c.text, value), c.parses) << c.text;
  if (!c.parses) return;
  if (std::isnan(c.value)) {
    EXPECT_TRUE(std::isnan(value)) << c.text;
  } else {
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FloatGrammar,
    ::testing::Values(FloatCase{"5.", true, 5.0}, FloatCase{".5", true, 0.5},
                      FloatCase{"+1e5", true, 1e5}, FloatCase{"-2.5E-3", true, -2.5e-3},
                      FloatCase{"007", true, 7.0}, FloatCase{"-0", true, -0.0},
                      FloatCase{"1e+2", true, 100.0}, FloatCase{"-INF", true, -kInf},
                      FloatCase{"Infinity", true, kInf}, FloatCase{"+nan", true, kNaN},
                      FloatCase{"1e400", true, kInf}, FloatCase{"-1e400", true, -kInf},
                      FloatCase{"0.000001e-400", true, 0.0}, FloatCase{"1e-400", true, 0.0},
                      FloatCase{"12345678901234567890123", true, 1.2345678901234568e22},
                      FloatCase{"", false, 0}, FloatCase{".", false, 0}, FloatCase{"+", false, 0},
                      FloatCase{"e5", false, 0}, FloatCase{"1e", false, 0},
                      FloatCase{"1e+", false, 0}, FloatCase{"0x10", false, 0},
                      FloatCase{" 42", false, 0}, FloatCase{"42 ", false, 0},
                      FloatCase{"1,000", false, 0}, FloatCase{"+-1", false, 0},
                      FloatCase{"1.2.3", false, 0}, FloatCase{"infin", false, 0},
                      FloatCase{"nan(1)", false, 0}, FloatCase{"1_000", false, 0}));

}  // namespace
}  // namespace quib::core::number_text
