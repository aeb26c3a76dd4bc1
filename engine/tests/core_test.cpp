// Schema definitions, error display, distributions and entropy.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/distribution.h"
#include "core/error.h"
#include "core/schema.h"

namespace quib::core {
namespace {

VariableDefinition continuous(std::string name, std::uint32_t bins,
                              std::optional<std::pair<double, double>> range = std::nullopt) {
  return {std::move(name), {VariableType::Continuous{bins, range}}};
}

VariableDefinition categorical(std::string name, std::vector<std::string> categories,
                               bool allow_unknown = false) {
  return {std::move(name), {VariableType::Categorical{std::move(categories), allow_unknown}}};
}

std::string refusal(const std::optional<QuibError>& error) {
  EXPECT_TRUE(error.has_value());
  return error ? error->to_error().full() : std::string();
}

TEST(SchemaDefinitions, RepeatedNameIsCheckedBeforeTheOtherRules) {
  Schema schema;
  ASSERT_FALSE(schema.define_variable(continuous("price", 10)));
  EXPECT_EQ(refusal(schema.define_variable(continuous("price", 0))),
            "schema validation error: variable 'price' already exists");
  EXPECT_EQ(refusal(schema.define_variable(categorical("price", {}))),
            "schema validation error: variable 'price' already exists");
  ASSERT_EQ(schema.variables.size(), 1u);
  EXPECT_EQ(schema.variables[0], continuous("price", 10));
}

TEST(SchemaDefinitions, RefusesEmptyCategoriesAndZeroBins) {
  Schema schema;
  EXPECT_EQ(refusal(schema.define_variable(categorical("color", {}))),
            "schema validation error: variable 'color' must define at least one category");
  EXPECT_EQ(refusal(schema.define_variable(continuous("size", 0))),
            "schema validation error: variable 'size' must have bins > 0");
  EXPECT_TRUE(schema.variables.empty());
}

TEST(SchemaDefinitions, AcceptsWhatIsNotChecked) {
  Schema schema;
  EXPECT_FALSE(schema.define_variable(continuous("inverted", 1, std::pair{5.0, 1.0})));
  EXPECT_FALSE(schema.define_variable(categorical("twice", {"a", "a"})));
  EXPECT_FALSE(schema.define_variable(categorical("Twice", {""})));  // case differs
  EXPECT_FALSE(schema.define_dimension({"inverted", "inverted", std::nullopt}));
  EXPECT_FALSE(schema.define_dimension({"region", "inverted", std::string("no such word")}));
  EXPECT_FALSE(schema.define_variable(categorical("region", {"x"})));
  EXPECT_EQ(schema.variables.size(), 4u);
  EXPECT_EQ(schema.dimensions.size(), 2u);
  EXPECT_EQ(schema.find_variable("twice"), &schema.variables[1]);
  EXPECT_EQ(schema.find_variable("TWICE"), nullptr);
}

TEST(SchemaDefinitions, RepeatedDimensionIsOneMessage) {
  Schema schema;
  ASSERT_FALSE(schema.define_dimension({"region", "region", std::nullopt}));
  auto error = schema.define_dimension({"region", "other", std::nullopt});
  EXPECT_EQ(refusal(error), "schema validation error: dimension 'region' already exists");
  EXPECT_EQ(error->to_error().contexts().size(), 0u);
  EXPECT_EQ(schema.dimensions[0].source_column, "region");
}

TEST(ErrorChain, DisplaysOutermostAndFullChain) {
  Error error("root cause");
  EXPECT_STREQ(error.what(), "root cause");
  EXPECT_EQ(error.full(), "root cause");
  error.add_context("inner step").add_context("outer step");
  EXPECT_STREQ(error.what(), "outer step");
  EXPECT_EQ(error.full(), "outer step: inner step: root cause");
}

TEST(ErrorChain, WithContextWrapsOnlyFailures) {
  EXPECT_EQ(with_context("never used", [] { return 7; }), 7);
  try {
    with_context([] { return std::string("read file x"); },
                 []() -> int { throw Error::from_errno(ENOENT); });
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "read file x: No such file or directory (os error 2)");
  }
}

TEST(ErrorChain, EveryKindHasItsPrefix) {
  const std::pair<QuibErrorKind, const char*> cases[] = {
      {QuibErrorKind::SchemaValidation, "schema validation error: m"},
      {QuibErrorKind::DistributionNotFound, "distribution not found: m"},
      {QuibErrorKind::TypeMismatch, "type mismatch: m"},
      {QuibErrorKind::InvalidQueryReference, "invalid query reference: m"},
      {QuibErrorKind::InsufficientSamples, "insufficient samples: m"},
      {QuibErrorKind::NoSnapshots, "no snapshots available: m"},
      {QuibErrorKind::NoJointDistribution, "no joint distribution defined: m"},
      {QuibErrorKind::Io, "io error: m"},
      {QuibErrorKind::Serialization, "serialization error: m"},
  };
  for (const auto& [kind, text] : cases) EXPECT_EQ((QuibError{kind, "m"}.display()), text);
}

TEST(Distributions, EmptyReprsFollowTheDefinition) {
  auto unit = DistributionRepr::from_variable(continuous("x", 10).var_type);
  const auto& histogram = std::get<DistributionRepr::Histogram>(unit.value);
  EXPECT_EQ(histogram.min, 0.0);
  EXPECT_EQ(histogram.max, 1.0);
  EXPECT_EQ(histogram.bin_counts, std::vector<std::uint64_t>(10, 0));

  auto inverted = DistributionRepr::from_variable(continuous("x", 2, std::pair{5.0, 1.0}).var_type);
  EXPECT_EQ(std::get<DistributionRepr::Histogram>(inverted.value).min, 5.0);
  EXPECT_EQ(std::get<DistributionRepr::Histogram>(inverted.value).max, 1.0);

  auto colors = DistributionRepr::from_variable(categorical("c", {"a", "b", "c"}, true).var_type);
  const auto& table = std::get<DistributionRepr::Categorical>(colors.value);
  EXPECT_EQ(table.categories, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(table.counts, (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(table.unknown_count, 0u);

  auto object = DistributionObject::create(4, "c", {{"region", "EU"}}, colors);
  EXPECT_EQ(object.sample_count, 0u);
  EXPECT_EQ(object.version, 1u);
  EXPECT_EQ(object.raw_record_range, (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
  EXPECT_GT(object.last_updated, 1700000000u);
}

struct EntropyCase {
  std::vector<std::uint64_t> cells;
  std::uint64_t unknown;
  double expected;
  bool negative_zero;
};

class EntropyTest : public ::testing::TestWithParam<EntropyCase> {};

TEST_P(EntropyTest, MatchesBitsAndSignOfZero) {
  const auto& c = GetParam();
  std::vector<std::string> names(c.cells.size(), "k");
  std::uint64_t total = c.unknown;
  for (auto cell : c.cells) total += cell;
  DistributionRepr repr{DistributionRepr::Categorical{names, c.cells, c.unknown, total}};
  double value = entropy(repr);
  EXPECT_DOUBLE_EQ(value, c.expected);
  EXPECT_EQ(std::signbit(value), c.negative_zero);
  // The histogram form counts the same cells.
  DistributionRepr histogram{DistributionRepr::Histogram{0.0, 1.0, c.cells, total}};
  EXPECT_EQ(std::signbit(entropy(histogram)), std::signbit(value));
}

INSTANTIATE_TEST_SUITE_P(
    Cells, EntropyTest,
    ::testing::Values(EntropyCase{{5, 5}, 0, 1.0, false}, EntropyCase{{1, 1}, 2, 1.0, false},
                      EntropyCase{{4}, 0, 0.0, true}, EntropyCase{{0, 0}, 3, 0.0, true},
                      EntropyCase{{0, 0}, 0, 0.0, false},
                      EntropyCase{{1, 1, 2}, 0, 1.5, false}),
    [](const ::testing::TestParamInfo<EntropyCase>& info) {
      return "Case" + std::to_string(info.index);
    });

// A position is floored, then clamped into the bins; infinities and NaN land at the ends.
struct BinCase {
  double position;
  std::uint64_t bins;
  std::uint64_t index;
};

class BinIndex : public ::testing::TestWithParam<BinCase> {};

TEST_P(BinIndex, FloorsAndClamps) {
  EXPECT_EQ(core::clamped_bin_index(GetParam().position, GetParam().bins), GetParam().index);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kHugeBins = ~std::uint64_t{0};

INSTANTIATE_TEST_SUITE_P(
    Positions, BinIndex,
    ::testing::Values(BinCase{0.0, 20, 0}, BinCase{-0.0, 20, 0}, BinCase{0.999, 20, 0},
                      BinCase{1.0, 20, 1}, BinCase{19.999999, 20, 19}, BinCase{20.0, 20, 19},
                      BinCase{-0.5, 20, 0}, BinCase{1e300, 20, 19}, BinCase{-1e300, 20, 0},
                      BinCase{kInf, 20, 19}, BinCase{-kInf, 20, 0},
                      BinCase{std::numeric_limits<double>::quiet_NaN(), 20, 0},
                      BinCase{3.5, 0, 0}, BinCase{0.5, 1, 0},
                      // Beyond a signed index the position clamps to the largest one.
                      BinCase{1e19, kHugeBins, 9223372036854775807u}));

TEST(Distributions, EmptyJointsTakeTheirShapeFromBothDefinitions) {
  auto a = continuous("a", 3, std::pair{-1.0, 1.0});
  auto b = categorical("b", {"x", "y"});
  auto mixed = JointRepr::empty_for(a, b);
  const auto& conditional = std::get<JointRepr::ConditionalHistograms>(mixed.value);
  EXPECT_EQ(conditional.condition_categories, (std::vector<std::string>{"x", "y"}));
  ASSERT_EQ(conditional.histograms.size(), 2u);
  const auto& h = std::get<DistributionRepr::Histogram>(conditional.histograms[1].value);
  EXPECT_EQ(h.min, -1.0);
  EXPECT_EQ(h.bin_counts.size(), 3u);

  auto grid = JointRepr::empty_for(a, continuous("c", 2));
  const auto& g = std::get<JointRepr::HistogramGrid>(grid.value);
  EXPECT_EQ(g.counts, (std::vector<std::vector<std::uint64_t>>(3, {0, 0})));
  EXPECT_EQ(g.y_max, 1.0);

  auto table = JointRepr::empty_for(b, categorical("d", {"p", "q", "r"}));
  EXPECT_EQ(std::get<JointRepr::ContingencyTable>(table.value).counts,
            (std::vector<std::vector<std::uint64_t>>(2, {0, 0, 0})));
}

TEST(Distributions, JointCellsOutsideTheTableTakeNothing) {
  JointDistributionObject joint;
  joint.repr = JointRepr::empty_for(continuous("a", 2), categorical("b", {"x"}));
  joint.add_to_cell(0, 1, 5);
  joint.add_to_cell(1, 0, 9);  // no second category
  joint.add_to_cell(0, 2, 9);  // no third bin
  const auto& conditional = std::get<JointRepr::ConditionalHistograms>(joint.repr.value);
  EXPECT_EQ(conditional.total_count, 5u);
  EXPECT_EQ(conditional.histograms[0].total_count(), 5u);
  EXPECT_EQ(joint.sample_count, 5u);
}

}  // namespace
}  // namespace quib::core
