#include "ingest/column_mapper.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ingest/csv_reader.h"
#include "literal_ingest.h"
#include "ingest/schema_inference.h"
#include "row_building.h"

namespace quib::ingest {
namespace {

using core::json::Value;

core::VariableDefinition continuous(std::string name) {
  return {std::move(name), core::VariableType{core::VariableType::Continuous{20, std::nullopt}}};
}

core::VariableDefinition categorical(std::string name) {
  return {std::move(name), core::VariableType{core::VariableType::Categorical{{"a"}, true}}};
}

// The projection of a row, read back in the named form, so that the cases below hold what ingestion
// uses to what they say of a mapped row.
std::optional<literal::MappedRow> map_row(const Row& row, const ColumnBinding& binding) {
  SlotRow slots;
  if (!column_mapper::project(row, binding, slots)) return std::nullopt;
  literal::MappedRow mapped;
  for (std::size_t slot = 0; slot < slots.variables.size(); ++slot) {
    if (slots.variables[slot] == nullptr) continue;
    mapped.variables.push_back({binding.variable_names()[slot], slots.variables[slot]});
  }
  for (std::size_t slot = 0; slot < slots.dimensions.size(); ++slot) {
    mapped.dimensions.push_back(
        {binding.dimension_names()[slot], std::nullopt, std::string(slots.dimensions[slot])});
  }
  return mapped;
}

// The kept rows of a table, each projected and read back as above.
std::vector<literal::MappedRow> map_rows(const RowTable& table, const ColumnBinding& binding) {
  const KeptRows kept = column_mapper::kept_rows(table, binding);
  std::vector<literal::MappedRow> mapped;
  RowScratch scratch;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    mapped.push_back(*map_row(table.row(kept.row(k), scratch), binding));
  }
  return mapped;
}

// A table of rows built from (column, value) lists, for mapping tests.
struct Table {
  RowTable table;
  void add(const std::vector<std::pair<std::string, Value>>& fields) { add_row(table, fields); }
  Row row(std::size_t i) { return table.row(i, scratch); }
  RowScratch scratch;
};

TEST(IdentityMapping, ReadsVariablesByNameAndDimensionsFromTheirSourceColumn) {
  core::Schema schema;
  schema.variables = {continuous("price"), categorical("city")};
  schema.dimensions = {{"year", "date", "yearly"}};
  const IngestMapping mapping = schema_inference::identity_mapping(schema);
  EXPECT_EQ(mapping.variables, (std::unordered_map<std::string, std::string>{
                                   {"price", "price"}, {"city", "city"}}));
  EXPECT_EQ(mapping.dimensions,
            (std::unordered_map<std::string, std::string>{{"date", "year"}}));
}

TEST(IdentityMapping, LaterDimensionOfASharedColumnWins) {
  core::Schema schema;
  schema.dimensions = {{"day", "date", "daily"}, {"month", "date", "monthly"}};
  const IngestMapping mapping = schema_inference::identity_mapping(schema);
  EXPECT_EQ(mapping.dimensions,
            (std::unordered_map<std::string, std::string>{{"date", "month"}}));

  // Every mapped row then lacks the earlier dimension.
  Table t;
  t.add({{"date", Value("2024-01-05")}});
  const ColumnBinding binding(mapping, t.table.columns());
  const auto mapped = map_row(t.row(0), binding);
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->dimension("day"), nullptr);
  ASSERT_NE(mapped->dimension("month"), nullptr);
}

TEST(MapRow, KeepsVariableValuesUnchangedAndLeavesAbsentOnesOut) {
  IngestMapping mapping;
  mapping.variables = {{"price", "price"}, {"city", "city"}, {"note", "note"}};
  Table t;
  t.add({{"price", Value(std::uint64_t{3})},
         {"note", Value(nullptr)},
         {"extra", Value("ignored")}});
  const ColumnBinding binding(mapping, t.table.columns());
  const auto mapped = map_row(t.row(0), binding);
  ASSERT_TRUE(mapped);
  ASSERT_EQ(mapped->variables.size(), 2u);
  EXPECT_EQ(mapped->variable("price")->to_json(), Value(std::uint64_t{3}));
  EXPECT_EQ(mapped->variable("note")->to_json(), Value(nullptr));
  EXPECT_EQ(mapped->variable("city"), nullptr);
  EXPECT_EQ(mapped->variable("extra"), nullptr);
}

TEST(MapRow, VariablesReadFromRenamedColumnsComeOutInNameOrder) {
  IngestMapping mapping;
  mapping.variables = {{"a_col", "zeta"}, {"b_col", "alpha"}};
  Table t;
  t.add({{"a_col", Value("1")}, {"b_col", Value("2")}});
  const ColumnBinding binding(mapping, t.table.columns());
  const auto mapped = map_row(t.row(0), binding);
  ASSERT_TRUE(mapped);
  ASSERT_EQ(mapped->variables.size(), 2u);
  EXPECT_EQ(mapped->variables[0].name, "alpha");
  EXPECT_EQ(mapped->variables[0].value->to_json(), Value("2"));
  EXPECT_EQ(mapped->variables[1].name, "zeta");
}

struct DimensionCase {
  Value value;
  std::optional<std::string> text;  // nothing: the row is dropped
};

class DimensionText : public testing::TestWithParam<DimensionCase> {};

TEST_P(DimensionText, RendersScalarsAndDropsTheRest) {
  IngestMapping mapping;
  mapping.dimensions = {{"year", "year"}};
  Table t;
  t.add({{"year", GetParam().value}});
  const ColumnBinding binding(mapping, t.table.columns());
  const auto mapped = map_row(t.row(0), binding);
  if (!GetParam().text) {
    EXPECT_FALSE(mapped);
    return;
  }
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->dimension("year")->text(), *GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DimensionText,
    testing::Values(DimensionCase{Value("2024"), "2024"}, DimensionCase{Value(" EU "), " EU "},
                    DimensionCase{Value(true), "true"}, DimensionCase{Value(false), "false"},
                    DimensionCase{Value(std::uint64_t{2024}), "2024"},
                    DimensionCase{Value(std::int64_t{-7}), "-7"},
                    DimensionCase{Value(2024.0), "2024.0"}, DimensionCase{Value(0.1), "0.1"},
                    DimensionCase{Value(nullptr), std::nullopt},
                    DimensionCase{Value(core::json::Array{}), std::nullopt},
                    DimensionCase{Value(core::json::Object{}), std::nullopt}));

TEST(MapRow, RowLackingADimensionColumnIsDropped) {
  IngestMapping mapping;
  mapping.variables = {{"price", "price"}};
  mapping.dimensions = {{"region", "region"}, {"date", "day"}};
  Table t;
  t.add({{"price", Value("1")}, {"region", Value("EU")}, {"date", Value("2024-01-01")}});
  t.add({{"price", Value("2")}, {"region", Value("EU")}});
  t.add({});
  t.add({{"region", Value("US")}, {"date", Value("2024-01-02")}});
  const ColumnBinding binding(mapping, t.table.columns());
  const auto mapped = map_rows(t.table, binding);
  ASSERT_EQ(mapped.size(), 2u);
  EXPECT_EQ(mapped[0].dimension("region")->text(), "EU");
  EXPECT_EQ(mapped[0].dimension("day")->text(), "2024-01-01");
  EXPECT_EQ(mapped[1].dimension("region")->text(), "US");
  EXPECT_TRUE(mapped[1].variables.empty());
}

TEST(MapRow, MappingWithoutDimensionsKeepsEveryRow) {
  IngestMapping mapping;
  mapping.variables = {{"price", "price"}};
  Table t;
  t.add({});
  t.add({{"other", Value("x")}});
  const ColumnBinding binding(mapping, t.table.columns());
  EXPECT_EQ(map_rows(t.table, binding).size(), 2u);
}

TEST(MapRow, DimensionColumnThatNoRowHoldsDropsEveryRow) {
  IngestMapping mapping;
  mapping.dimensions = {{"missing", "missing"}};
  Table t;
  t.add({{"price", Value("1")}});
  const ColumnBinding binding(mapping, t.table.columns());
  EXPECT_TRUE(map_rows(t.table, binding).empty());
}

// The slot form that ingestion uses must say what the literal named form says, row for row.
TEST(ProjectRow, AgreesWithTheNamedFormIncludingNamesFedByTwoColumns) {
  IngestMapping mapping;
  mapping.variables = {{"a_col", "v"}, {"b_col", "v"}, {"price", "price"}};
  mapping.dimensions = {{"a_col", "d"}, {"b_col", "d"}, {"region", "region"}};
  Table t;
  const std::vector<std::vector<std::pair<std::string, Value>>> rows = {
      {{"a_col", Value(std::uint64_t{5})}, {"b_col", Value("text")}, {"region", Value("EU")}},
      {{"a_col", Value("text")}, {"b_col", Value(2.5)}, {"region", Value(true)}},
      {{"a_col", Value(std::int64_t{-1})}, {"b_col", Value(false)}, {"region", Value("US")},
       {"price", Value(core::json::Array{})}},
      {{"a_col", Value("x")}, {"b_col", Value(nullptr)}, {"region", Value("EU")}},
      {{"a_col", Value("x")}, {"region", Value("EU")}},
      {{"b_col", Value("y")}, {"a_col", Value(core::json::Object{})}, {"region", Value("EU")}},
  };
  for (const auto& row : rows) t.add(row);
  const ColumnBinding binding(mapping, t.table.columns());
  ASSERT_EQ(binding.variable_names().size(), 2u);  // price, v
  ASSERT_EQ(binding.dimension_names().size(), 2u);  // d, region
  SlotRow slots;
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto named = literal::map_row(t.row(i), binding);
    ASSERT_EQ(column_mapper::project(t.row(i), binding, slots), named.has_value()) << "row " << i;
    if (!named) continue;
    kept.push_back(i);
    for (std::size_t slot = 0; slot < slots.variables.size(); ++slot) {
      const Cell* value = named->variable(binding.variable_names()[slot]);
      ASSERT_EQ(slots.variables[slot] != nullptr, value != nullptr) << "row " << i;
      if (value != nullptr) {
        EXPECT_EQ(slots.variables[slot]->to_json(), value->to_json());
      }
    }
    for (std::size_t slot = 0; slot < slots.dimensions.size(); ++slot) {
      EXPECT_EQ(slots.dimensions[slot], named->dimension(binding.dimension_names()[slot])->text())
          << "row " << i;
    }
  }
  EXPECT_EQ(kept, (std::vector<std::size_t>{0, 1, 2}));
  // The later column by name feeds a name that two columns feed.
  ASSERT_TRUE(column_mapper::project(t.row(0), binding, slots));
  EXPECT_EQ(slots.dimensions[0], "text");
  ASSERT_TRUE(column_mapper::project(t.row(1), binding, slots));
  EXPECT_EQ(slots.dimensions[0], "2.5");
  EXPECT_EQ(slots.dimensions[1], "true");

  const KeptRows listed = column_mapper::kept_rows(t.table, binding);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed.row(2), 2u);
}

TEST(KeptRowsOfCsv, AllOrNoneByTheHeader) {
  const RowTable table = csv_reader::parse_csv("region,price\nEU,1\nUS,2\n");
  IngestMapping mapping;
  mapping.dimensions = {{"region", "region"}};
  EXPECT_EQ(column_mapper::kept_rows(table, ColumnBinding(mapping, table.columns())).size(), 2u);
  mapping.dimensions.emplace("date", "date");
  EXPECT_EQ(column_mapper::kept_rows(table, ColumnBinding(mapping, table.columns())).size(), 0u);
}

}  // namespace
}  // namespace quib::ingest
