// Schema inference: which definition each column of a sample receives.
#include "ingest/schema_inference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/json.h"
#include "ingest/csv_reader.h"
#include "ingest/json_reader.h"
#include "row_building.h"

namespace quib::ingest {
namespace {

using core::json::Value;
using Fields = std::vector<std::pair<std::string, Value>>;

RowTable table_of(const std::vector<Fields>& rows) {
  RowTable table;
  for (const Fields& fields : rows) add_row(table, fields);
  return table;
}

// A one-column sample holding `values` under the column "c".
RowTable column_of(const std::vector<Value>& values) {
  std::vector<Fields> rows;
  for (const Value& value : values) rows.push_back({{"c", value}});
  return table_of(rows);
}

Value u(std::uint64_t n) { return Value(n); }
Value i(std::int64_t n) { return Value(n); }

core::VariableDefinition continuous(const std::string& name, double min, double max) {
  return {name, {core::VariableType::Continuous{20, std::make_pair(min, max)}}};
}
core::VariableDefinition categorical(const std::string& name, std::vector<std::string> categories) {
  return {name, {core::VariableType::Categorical{std::move(categories), true}}};
}
core::DimensionDefinition dimension(const std::string& name,
                                    std::optional<std::string> granularity) {
  return {name, name, std::move(granularity)};
}

core::Schema schema_with(std::vector<core::VariableDefinition> variables,
                         std::vector<core::DimensionDefinition> dimensions = {}) {
  return core::Schema{std::move(variables), std::move(dimensions), {}};
}

core::Schema infer(const RowTable& table, InferConfig config = {}) {
  return schema_inference::infer_schema(table, config);
}

TEST(SchemaInferenceColumns, CsvColumnsComeInNameOrder) {
  const core::Schema schema = infer(csv_reader::parse_csv("b,a\nx,y\n"));
  EXPECT_EQ(schema, schema_with({categorical("a", {"y"}), categorical("b", {"x"})}));
}

TEST(SchemaInferenceColumns, JsonColumnsComeInOrderOfFirstAppearance) {
  const core::Schema schema =
      infer(json_reader::parse_json_lines("{\"z\":\"p\"}\n{\"a\":\"q\",\"z\":\"r\"}\n"));
  EXPECT_EQ(schema, schema_with({categorical("z", {"p", "r"}), categorical("a", {"q"})}));
}

TEST(SchemaInferenceColumns, NullOnlyColumnsGetNothingUnlessNamedDateColumns) {
  const RowTable table = table_of({{{"empty", nullptr}, {"d", nullptr}, {"v", "x"}}, {{"v", "y"}}});
  EXPECT_EQ(infer(table), schema_with({categorical("v", {"x", "y"})}));

  InferConfig config;
  config.date_columns = {"d", "absent", "v"};
  config.date_granularity = "monthly";
  EXPECT_EQ(infer(table, config),
            schema_with({}, {dimension("d", "monthly"), dimension("v", "monthly")}));
}

TEST(SchemaInferenceColumns, LooksOnlyAtTheSampleRows) {
  const RowTable table = column_of({"a", "b", "late"});
  InferConfig config;
  config.sample_rows = 2;
  EXPECT_EQ(infer(table, config), schema_with({categorical("c", {"a", "b"})}));
  config.sample_rows = 0;
  EXPECT_EQ(infer(table, config), core::Schema{});
  EXPECT_EQ(infer(RowTable{}), core::Schema{});
}

TEST(SchemaInferenceNumbers, WholeNumbersFrom1900To2100FormAYearDimension) {
  InferConfig config;
  config.date_granularity = "yearly";
  EXPECT_EQ(infer(column_of({u(1999), u(2005), "2010"}), config),
            schema_with({}, {dimension("c", "yearly")}));
  EXPECT_EQ(infer(column_of({u(2020), "2020", "2020.0", Value(1900.0), "2100"}), config),
            schema_with({}, {dimension("c", "yearly")}));
  EXPECT_EQ(infer(column_of({u(1999), u(2005), "2010", Value(2010.5)})),
            schema_with({continuous("c", 1999.0, 2010.5 + 11.5 * 0.001)}));
  EXPECT_EQ(infer(column_of({u(1899), u(1950)})),
            schema_with({continuous("c", 1899.0, 1950.0 + 51.0 * 0.001)}));
  EXPECT_EQ(infer(column_of({u(1950), u(2101)})),
            schema_with({continuous("c", 1950.0, 2101.0 + 151.0 * 0.001)}));
}

TEST(SchemaInferenceNumbers, AYearColumnHoldsAtMost200DistinctYears) {
  std::vector<Value> years;
  for (std::uint64_t y = 1900; y < 2100; ++y) years.push_back(u(y));
  EXPECT_EQ(infer(column_of(years)), schema_with({}, {dimension("c", "daily")}));
  years.push_back(u(2100));
  EXPECT_EQ(infer(column_of(years)), schema_with({continuous("c", 1900.0, 2100.0 + 0.2)}));
}

TEST(SchemaInferenceNumbers, RangeGetsAMarginAtTheTop) {
  EXPECT_EQ(infer(column_of({u(5), "5", Value(5.0)})), schema_with({continuous("c", 5.0, 6.0)}));
  EXPECT_EQ(infer(column_of({u(0), u(1000)})), schema_with({continuous("c", 0.0, 1001.0)}));
  EXPECT_EQ(infer(column_of({i(-3), "2.5", Value(0.5)})),
            schema_with({continuous("c", -3.0, 2.5 + 5.5 * 0.001)}));
}

TEST(SchemaInferenceNumbers, NanAmongFiniteValuesStaysNumeric) {
  EXPECT_EQ(infer(column_of({"nan", "5", "7"})),
            schema_with({continuous("c", 5.0, 7.0 + 2.0 * 0.001)}));
  // A NaN is never a whole number, so it also keeps a year-like column continuous.
  EXPECT_EQ(infer(column_of({"NaN", "2000", "2001"})),
            schema_with({continuous("c", 2000.0, 2001.0 + 0.001)}));
}

TEST(SchemaInferenceNumbers, InfinitiesAndAllNanGoToTheTextPath) {
  EXPECT_EQ(infer(column_of({"inf", "5"})), schema_with({categorical("c", {"inf", "5"})}));
  EXPECT_EQ(infer(column_of({"1e400", "5"})), schema_with({categorical("c", {"1e400", "5"})}));
  EXPECT_EQ(infer(column_of({"nan", "NAN"})), schema_with({categorical("c", {"nan", "NAN"})}));
}

TEST(SchemaInferenceText, TextsThatDoNotParseAreCategories) {
  EXPECT_EQ(infer(column_of({" 42", "1,000", "7"})),
            schema_with({categorical("c", {" 42", "1,000", "7"})}));
  EXPECT_EQ(infer(column_of({" x", "x", "x "})), schema_with({categorical("c", {" x", "x", "x "})}));
  EXPECT_EQ(infer(column_of({"", "5"})), schema_with({categorical("c", {"", "5"})}));
}

TEST(SchemaInferenceText, OtherValuesReadAsTheirJsonText) {
  EXPECT_EQ(infer(column_of({false, true, false})),
            schema_with({categorical("c", {"false", "true"})}));
  EXPECT_EQ(infer(column_of({Value(1.5), "a"})), schema_with({categorical("c", {"1.5", "a"})}));
  EXPECT_EQ(infer(column_of({u(3), "x", i(-4), Value(2.0)})),
            schema_with({categorical("c", {"3", "x", "-4", "2.0"})}));
  const Value array(core::json::Array{u(1), "b"});
  const Value object(core::json::Object{{"z", u(1)}, {"a", nullptr}});
  EXPECT_EQ(infer(column_of({array, object, u(7)})),
            schema_with({categorical("c", {"[1,\"b\"]", "{\"a\":null,\"z\":1}", "7"})}));
}

// A JSON number -0 is the integer 0: its category text is "0", and its range starts at +0.
TEST(SchemaInferenceNumbers, JsonMinusZeroIsTheIntegerZero) {
  EXPECT_EQ(infer(json_reader::parse_json_lines("{\"c\":-0}\n{\"c\":\"a\"}\n")),
            schema_with({categorical("c", {"0", "a"})}));
  const core::Schema zeros =
      infer(json_reader::parse_json_lines("{\"c\":-0}\n{\"c\":-0}\n"));
  EXPECT_EQ(zeros, schema_with({continuous("c", 0.0, 1.0)}));
  const auto& range = zeros.variables[0].var_type.get_if<core::VariableType::Continuous>()->range;
  EXPECT_FALSE(std::signbit(range->first));
}

TEST(SchemaInferenceText, DateLikeColumnsBecomeDateDimensions) {
  InferConfig config;
  config.date_granularity = "weekly";
  const std::vector<Value> dates = {"2024-01-05", " 2024/01/05 ", "2024/01-05",
                                    "2024-01-05T10:00:00", "\xE2\x80\x83" "1999-99-99 anything"};
  EXPECT_EQ(infer(column_of(dates), config), schema_with({}, {dimension("c", "weekly")}));

  for (const char* odd : {"2024-1-5", "24-01-05", "2024.01.05"}) {
    std::vector<Value> mixed = dates;
    mixed.push_back(odd);
    const core::Schema schema = infer(column_of(mixed), config);
    ASSERT_EQ(schema.variables.size(), 1u) << odd;
    EXPECT_EQ(schema.variables[0].var_type.get_if<core::VariableType::Categorical>()->categories.back(),
              odd);
  }
}

// `count` distinct texts under `max_categories`: categorical up to the limit, a plain dimension
// past it.
struct CategoryLimitCase {
  std::size_t count;
  std::uint64_t max_categories;
  bool categorical;
};

class SchemaInferenceCategoryLimit : public ::testing::TestWithParam<CategoryLimitCase> {};

TEST_P(SchemaInferenceCategoryLimit, DecidesBetweenCategoriesAndPlainDimension) {
  const auto [count, max_categories, is_categorical] = GetParam();
  std::vector<Value> values;
  std::vector<std::string> expected;
  for (std::size_t k = 0; k < count; ++k) {
    expected.push_back("v" + std::to_string(k));
    values.push_back(expected.back());
    values.push_back(expected.front());  // repeats do not count
  }
  InferConfig config;
  config.max_categories = max_categories;
  const core::Schema schema = infer(column_of(values), config);
  if (is_categorical) {
    EXPECT_EQ(schema, schema_with({categorical("c", expected)}));
  } else {
    EXPECT_EQ(schema, schema_with({}, {dimension("c", std::nullopt)}));
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, SchemaInferenceCategoryLimit,
                         ::testing::Values(CategoryLimitCase{50, 50, true},
                                           CategoryLimitCase{51, 50, false},
                                           CategoryLimitCase{1, 0, false},
                                           CategoryLimitCase{3, 3, true},
                                           CategoryLimitCase{300, 50, false}));

TEST(SchemaInferenceText, ZeroCategoriesStillAllowsDateDimensions) {
  InferConfig config;
  config.max_categories = 0;
  EXPECT_EQ(infer(column_of({"2024-01-05", "2024-01-06"}), config),
            schema_with({}, {dimension("c", "daily")}));
  EXPECT_EQ(infer(column_of({u(5), u(6)}), config), schema_with({continuous("c", 5.0, 6.001)}));
}

}  // namespace
}  // namespace quib::ingest
