#include "ingest/row_resolver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_writer.h"
#include "literal_ingest.h"
#include "ingest/csv_reader.h"
#include "ingest/schema_inference.h"
#include "row_building.h"
#include "batch_rows.h"


namespace quib::ingest {
namespace {

using namespace batch_rows;

struct BinCase {
  Value value;
  std::optional<std::uint64_t> bin;
};

class BinPlacement : public testing::TestWithParam<BinCase> {};

TEST_P(BinPlacement, OverZeroToHundredInTwentyBins) {
  core::Schema schema;
  schema.variables = {continuous("x", 20, std::pair{0.0, 100.0})};
  const auto delta = delta_of(schema, GetParam().value);
  if (GetParam().bin) {
    EXPECT_EQ(delta, bin(*GetParam().bin));
  } else {
    EXPECT_EQ(delta, std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BinPlacement,
    testing::Values(BinCase{Value(std::uint64_t{0}), 0}, BinCase{Value(4.99), 0},
                    BinCase{Value(std::uint64_t{5}), 1}, BinCase{Value(std::uint64_t{100}), 19},
                    BinCase{Value(std::uint64_t{250}), 19}, BinCase{Value(std::int64_t{-3}), 0},
                    BinCase{Value("42"), 8}, BinCase{Value("1e1"), 2}, BinCase{Value("+5."), 1},
                    BinCase{Value(".5"), 0}, BinCase{Value("inf"), 19},
                    BinCase{Value("-Infinity"), 0}, BinCase{Value("NaN"), 0},
                    BinCase{Value("1e400"), 19}, BinCase{Value(" 42"), std::nullopt},
                    BinCase{Value("abc"), std::nullopt}, BinCase{Value(""), std::nullopt},
                    BinCase{Value("1e"), std::nullopt}, BinCase{Value("+-5"), std::nullopt},
                    BinCase{Value("nan(1)"), std::nullopt}, BinCase{Value(true), std::nullopt},
                    BinCase{Value(nullptr), std::nullopt}));

TEST(BinPlacement, VariableWithoutRangeBinsOverZeroToOne) {
  core::Schema schema;
  schema.variables = {continuous("x", 20, std::nullopt)};
  EXPECT_EQ(delta_of(schema, Value(0.5)), bin(10));
  EXPECT_EQ(delta_of(schema, Value(std::uint64_t{7})), bin(19));
}

TEST(BinPlacement, EmptyOrReversedRangeAndZeroBinsGiveNothing) {
  for (const auto& variable : {continuous("x", 4, std::pair{5.0, 5.0}),
                               continuous("x", 4, std::pair{5.0, 1.0}),
                               continuous("x", 0, std::pair{0.0, 1.0})}) {
    core::Schema schema;
    schema.variables = {variable};
    EXPECT_EQ(delta_of(schema, Value(0.5)), std::nullopt);
  }
}

struct CategoryCase {
  Value value;
  std::optional<SingleDelta> with_unknown;
  std::optional<SingleDelta> without_unknown;
};

class CategoryLookup : public testing::TestWithParam<CategoryCase> {};

TEST_P(CategoryLookup, CountsKnownTextsAndUnknownOnlyWhenAllowed) {
  for (bool allow_unknown : {true, false}) {
    core::Schema schema;
    schema.variables = {categorical("c", {"a", "b", "7", "unknown", "a"}, allow_unknown)};
    EXPECT_EQ(delta_of(schema, GetParam().value),
              allow_unknown ? GetParam().with_unknown : GetParam().without_unknown)
        << "allow_unknown " << allow_unknown;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, CategoryLookup,
    testing::Values(CategoryCase{Value("a"), category(0), category(0)},
                    CategoryCase{Value("b"), category(1), category(1)},
                    CategoryCase{Value("c"), kUnknown, std::nullopt},
                    CategoryCase{Value("A"), kUnknown, std::nullopt},
                    CategoryCase{Value(std::uint64_t{7}), category(2), category(2)},
                    CategoryCase{Value("7"), category(2), category(2)},
                    CategoryCase{Value(std::int64_t{-7}), kUnknown, std::nullopt},
                    // Other values read as their JSON text ("7.0", "true", the decimal);
                    // only null reads as the text "unknown".
                    CategoryCase{Value(7.0), kUnknown, std::nullopt},
                    CategoryCase{Value(true), kUnknown, std::nullopt},
                    CategoryCase{Value(nullptr), category(3), category(3)},
                    CategoryCase{Value(std::uint64_t{9223372036854775808u}), kUnknown,
                                 std::nullopt}));

// Texts that share their length and their first or last eight bytes, the empty text, repeats
// (the first position wins) and misses of every kind, against an ordered map.
TEST(CategoryLookup, PositionsMatchAFirstPositionMap) {
  std::vector<std::string> categories = {"", "a", "kitchen", "kitchens", "Kitchen"};
  for (int i = 0; i < 60; ++i) {
    categories.push_back("shared-prefix-" + std::to_string(i) + "-shared-suffix");
    categories.push_back(std::string(i % 9, 'x') + std::to_string(i % 7));
  }
  categories.push_back("a");
  std::map<std::string, std::uint64_t> first;
  for (std::size_t i = 0; i < categories.size(); ++i) first.emplace(categories[i], i);
  const CategoryPositions positions(categories);
  for (const auto& [text, position] : first) EXPECT_EQ(positions.find(text), position) << text;
  const std::vector<std::string> misses = {"b", "kitche", "shared-prefix-60-shared-suffix",
                                           "xxxxxxxxx0", "shared-prefix--shared-suffix",
                                           std::string(1, '\0')};
  for (const std::string& miss : misses) {
    EXPECT_EQ(positions.find(miss), CategoryPositions::kMissing) << miss;
  }
  EXPECT_EQ(CategoryPositions().find(""), CategoryPositions::kMissing);
}

TEST(CategoryLookup, NullIsUnknownWhenNoCategoryIsNamedUnknown) {
  core::Schema schema;
  schema.variables = {categorical("c", {"a", "b"}, true)};
  EXPECT_EQ(delta_of(schema, Value(nullptr)), kUnknown);
  schema.variables = {categorical("c", {"a", "b"}, false)};
  EXPECT_EQ(delta_of(schema, Value(nullptr)), std::nullopt);
}

// Inference names a category by a value's text and resolution finds the value by that same
// text, whatever its kind: every sampled value counts in its own category, alone and in a joint
// with a boolean; a null is unknown and gives no cell.
TEST(CategoryLookup, EveryValueCountsInTheCategoryInferenceMadeForIt) {
  const std::vector<Value> values = {
      Value(true), Value(1.5), Value(4.5), Value("none"), Value(std::int64_t{-7}),
      Value(std::uint64_t{18446744073709551615u}), Value(-1.2345678901234567e-300), Value(-0.0),
      Value(core::json::Array{Value(std::uint64_t{1}), Value("a")}),
      Value(core::json::Object{{"k", Value(core::json::Array{Value(false)})}})};
  std::vector<Fields> sample;
  for (std::size_t i = 0; i < values.size(); ++i) {
    sample.push_back({{"c", values[i]}, {"flag", Value(i % 2 == 0)}});
  }
  RowTable table;
  for (const Fields& fields : sample) add_row(table, fields);
  core::Schema schema = schema_inference::infer_schema(table, InferConfig{});
  ASSERT_EQ(schema.variables.size(), 2u);
  ASSERT_EQ(std::get<core::VariableType::Categorical>(schema.variables[0].var_type.value)
                .categories.size(),
            values.size());
  schema.joints = {{"flag", "c"}};
  sample.push_back({{"c", Value(nullptr)}, {"flag", Value(true)}});
  const Rows rows(schema, sample);
  for (std::size_t i = 0; i < sample.size(); ++i) {
    const auto resolved = literal::resolve_row(schema, rows[i]);
    ASSERT_TRUE(resolved);
    ASSERT_EQ(resolved->single_deltas.size(), 2u);
    const bool null = i == values.size();
    EXPECT_EQ(resolved->single_deltas[0].second, null ? kUnknown : category(i)) << i;
    EXPECT_EQ(resolved->single_deltas[1].second, category(i % 2)) << i;
    if (null) {
      EXPECT_TRUE(resolved->joint_cells.empty());
    } else {
      ASSERT_EQ(resolved->joint_cells.size(), 1u) << i;
      EXPECT_EQ(resolved->joint_cells[0].second,
                (std::pair<std::uint64_t, std::uint64_t>{i, i % 2}));
    }
  }
}

TEST(ResolveRow, RowLackingAnyDimensionOfTheSchemaDoesNotResolve) {
  core::Schema schema;
  schema.variables = {continuous("x", 2, std::nullopt)};
  schema.dimensions = {{"region", "region", std::nullopt}, {"year", "year", std::nullopt}};
  IngestMapping region_only;
  region_only.variables = {{"x", "x"}};
  region_only.dimensions = {{"region", "region"}};
  Rows rows(schema, {{{"x", Value(0.1)}, {"region", Value("EU")}}}, region_only);
  ASSERT_EQ(rows.kept(), 1u);
  EXPECT_FALSE(literal::resolve_row(schema, rows[0]));
}

TEST(ResolveRow, BucketsDatesIntoTheKeyAndKeepsEveryRawValue) {
  core::Schema schema;
  schema.variables = {continuous("x", 2, std::nullopt), categorical("c", {"a"}, false)};
  schema.dimensions = {{"month", "date", "monthly"}, {"region", "region", std::nullopt}};
  Rows rows(schema, {{{"x", Value("oops")},
                      {"c", Value(nullptr)},
                      {"date", Value("2024-02-29T10:00:00")},
                      {"region", Value(std::uint64_t{7})}}});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  ASSERT_TRUE(resolved);
  EXPECT_TRUE(resolved->single_deltas.empty());
  EXPECT_EQ(resolved->dimension_key, (core::DimensionKey{{"month", "2024-02"}, {"region", "7"}}));
  EXPECT_EQ(resolved->raw_values,
            (core::json::Object{{"c", Value(nullptr)}, {"x", Value("oops")}}));
}

TEST(ResolveRow, SchemaWithoutDimensionsResolvesUnderTheEmptyKey) {
  core::Schema schema;
  schema.variables = {continuous("x", 2, std::nullopt)};
  Rows rows(schema, {{}});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  ASSERT_TRUE(resolved);
  EXPECT_TRUE(resolved->dimension_key.empty());
  EXPECT_TRUE(resolved->single_deltas.empty());
  EXPECT_TRUE(resolved->raw_values.empty());
}

// Joint pairs: the cell addresses the stored joint, whose x is the byte-wise smaller name.
struct JointCase {
  const char* label;
  std::vector<core::VariableDefinition> variables;
  std::pair<std::string, std::string> pair;
  Fields row;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> cell;
};

class JointCells : public testing::TestWithParam<JointCase> {};

TEST_P(JointCells, AddressTheStoredOrientation) {
  core::Schema schema;
  schema.variables = GetParam().variables;
  schema.joints = {GetParam().pair};
  Rows rows(schema, {GetParam().row});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  ASSERT_TRUE(resolved);
  if (!GetParam().cell) {
    EXPECT_TRUE(resolved->joint_cells.empty());
    return;
  }
  ASSERT_EQ(resolved->joint_cells.size(), 1u);
  EXPECT_EQ(resolved->joint_cells[0].first, GetParam().pair);
  EXPECT_EQ(resolved->joint_cells[0].second, *GetParam().cell);
}


INSTANTIATE_TEST_SUITE_P(
    Pairs, JointCells,
    testing::Values(
        JointCase{"categorical listed larger first", {kZeta, kAlpha}, {"zeta", "alpha"},
                  {{"zeta", Value("z0")}, {"alpha", Value("a1")}}, std::pair{1, 0}},
        JointCase{"categorical listed smaller first", {kZeta, kAlpha}, {"alpha", "zeta"},
                  {{"zeta", Value("z0")}, {"alpha", Value("a1")}}, std::pair{1, 0}},
        JointCase{"continuous listed larger first", {kWide, kNarrow}, {"wide", "narrow"},
                  {{"wide", Value("95")}, {"narrow", Value(0.3)}}, std::pair{1, 9}},
        JointCase{"continuous listed smaller first", {kWide, kNarrow}, {"narrow", "wide"},
                  {{"wide", Value("95")}, {"narrow", Value(0.3)}}, std::pair{1, 9}},
        JointCase{"mixed, category listed first", {kZeta, kWide}, {"zeta", "wide"},
                  {{"zeta", Value("z1")}, {"wide", Value(std::uint64_t{25})}}, std::pair{1, 2}},
        JointCase{"mixed, category listed second", {kZeta, kWide}, {"wide", "zeta"},
                  {{"zeta", Value("z1")}, {"wide", Value(std::uint64_t{25})}}, std::pair{1, 2}},
        JointCase{"pair of one variable with itself", {kAlpha}, {"alpha", "alpha"},
                  {{"alpha", Value("a1")}}, std::pair{1, 1}},
        JointCase{"integer where the category is text", {kZeta, kAlpha}, {"zeta", "alpha"},
                  {{"zeta", Value("z0")}, {"alpha", Value(std::uint64_t{3})}}, std::pair{2, 0}},
        JointCase{"unknown category", {kZeta, kAlpha}, {"zeta", "alpha"},
                  {{"zeta", Value("z9")}, {"alpha", Value("a1")}}, std::nullopt},
        JointCase{"value absent", {kZeta, kAlpha}, {"zeta", "alpha"},
                  {{"zeta", Value("z0")}}, std::nullopt},
        JointCase{"name not a variable", {kZeta}, {"zeta", "ghost"},
                  {{"zeta", Value("z0")}, {"ghost", Value("x")}}, std::nullopt},
        JointCase{"continuous without bins", {kZeta, continuous("nobins", 0, std::nullopt)},
                  {"zeta", "nobins"}, {{"zeta", Value("z0")}, {"nobins", Value(0.5)}},
                  std::nullopt}),
    [](const auto& info) {
      std::string name = info.param.label;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(ResolveRow, IntegerCategoryCountsAsSingleDeltaAndInTheJoint) {
  core::Schema schema;
  schema.variables = {kZeta, kAlpha};
  schema.joints = {{"zeta", "alpha"}};
  Rows rows(schema, {{{"zeta", Value("z0")}, {"alpha", Value(std::uint64_t{3})}}});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  ASSERT_TRUE(resolved);
  ASSERT_EQ(resolved->single_deltas.size(), 2u);
  EXPECT_EQ(resolved->single_deltas[1], (std::pair{std::string("alpha"), category(2)}));
  ASSERT_EQ(resolved->joint_cells.size(), 1u);
  EXPECT_EQ(resolved->joint_cells[0].second, (std::pair<std::uint64_t, std::uint64_t>{2, 0}));
}

// ---- apply_batch against a database ----
// Mapped rows go through the batch updater; hand-made rows through the literal road.

}  // namespace
}  // namespace quib::ingest
