#include "ingest/batch_updater.h"

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

namespace quib::ingest {
namespace {

using core::json::Value;
using Fields = std::vector<std::pair<std::string, Value>>;
using literal::MappedRow;
using literal::SingleDelta;

core::VariableDefinition continuous(std::string name, std::uint32_t bins,
                                    std::optional<std::pair<double, double>> range) {
  return {std::move(name), core::VariableType{core::VariableType::Continuous{bins, range}}};
}

core::VariableDefinition categorical(std::string name, std::vector<std::string> categories,
                                     bool allow_unknown) {
  return {std::move(name), core::VariableType{core::VariableType::Categorical{
                               std::move(categories), allow_unknown}}};
}

// Rows mapped through a mapping (the schema's identity mapping unless given), kept alive together
// because mapped rows borrow from them. A single row is resolved in the named form; a batch goes
// through the batch updater itself.
class Rows {
 public:
  Rows(const core::Schema& schema, const std::vector<Fields>& rows,
       std::optional<IngestMapping> mapping = std::nullopt)
      : mapping_(mapping ? std::move(*mapping) : schema_inference::identity_mapping(schema)) {
    for (const Fields& fields : rows) add_row(table_, fields);
    binding_.emplace(mapping_, table_.columns());
    kept_ = column_mapper::kept_rows(table_, *binding_);
    mapped_ = literal::map_rows(table_, *binding_);
  }
  std::size_t kept() const { return kept_.size(); }
  const MappedRow& operator[](std::size_t i) const { return mapped_[i]; }
  BatchStats apply(storage::Database& db, const core::Schema& schema) const {
    return batch_updater::apply_batch(db, schema, table_, *binding_, kept_);
  }

 private:
  RowTable table_;
  IngestMapping mapping_;
  std::optional<ColumnBinding> binding_;
  KeptRows kept_;
  std::vector<MappedRow> mapped_;
};

// Mapped rows made by hand, for shapes that mapping itself never produces (a row lacking one of
// the schema's dimensions while holding the others); only the named form takes them.
class HandRows {
 public:
  void add(const Fields& variables, const std::vector<std::pair<std::string, std::string>>& dims) {
    MappedRow row;
    for (const auto& [name, value] : variables) {
      const Cell& cell = cells_.emplace_back(Cell::borrow(values_.emplace_back(value)));
      row.variables.push_back({names_.emplace_back(name), &cell});
    }
    for (const auto& [name, text] : dims) {
      row.dimensions.push_back({names_.emplace_back(name), std::nullopt, text});
    }
    auto by_name = [](const auto& a, const auto& b) { return a.name < b.name; };
    std::sort(row.variables.begin(), row.variables.end(), by_name);
    std::sort(row.dimensions.begin(), row.dimensions.end(), by_name);
    rows_.push_back(std::move(row));
  }
  BatchStats apply(storage::Database& db, const core::Schema& schema) const {
    return literal::apply_batch(db, schema, rows_);
  }

 private:
  std::deque<std::string> names_;
  std::deque<Value> values_;
  std::deque<Cell> cells_;
  std::vector<MappedRow> rows_;
};

std::optional<SingleDelta> delta_of(const core::Schema& schema, const Value& value) {
  Rows rows(schema, {{{schema.variables[0].name, value}}});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  EXPECT_TRUE(resolved);
  if (!resolved || resolved->single_deltas.empty()) return std::nullopt;
  return resolved->single_deltas[0].second;
}

SingleDelta bin(std::uint64_t i) { return SingleDelta{SingleDelta::Bin{i}}; }
SingleDelta category(std::uint64_t i) { return SingleDelta{SingleDelta::Category{i}}; }
const SingleDelta kUnknown{SingleDelta::Unknown{}};

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
                    // Non-text values that are no integer read as the text "unknown".
                    CategoryCase{Value(7.0), category(3), category(3)},
                    CategoryCase{Value(true), category(3), category(3)},
                    CategoryCase{Value(nullptr), category(3), category(3)},
                    CategoryCase{Value(std::uint64_t{9223372036854775808u}), category(3),
                                 category(3)}));

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

const auto kZeta = categorical("zeta", {"z0", "z1"}, true);
const auto kAlpha = categorical("alpha", {"a0", "a1", "3"}, true);
const auto kWide = continuous("wide", 10, std::pair{0.0, 100.0});
const auto kNarrow = continuous("narrow", 4, std::pair{0.0, 1.0});

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
                  {{"zeta", Value("z0")}, {"alpha", Value(std::uint64_t{3})}}, std::nullopt},
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

TEST(ResolveRow, IntegerCategoryCountsAsSingleDeltaButNotInTheJoint) {
  core::Schema schema;
  schema.variables = {kZeta, kAlpha};
  schema.joints = {{"zeta", "alpha"}};
  Rows rows(schema, {{{"zeta", Value("z0")}, {"alpha", Value(std::uint64_t{3})}}});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  ASSERT_TRUE(resolved);
  ASSERT_EQ(resolved->single_deltas.size(), 2u);
  EXPECT_EQ(resolved->single_deltas[1], (std::pair{std::string("alpha"), category(2)}));
  EXPECT_TRUE(resolved->joint_cells.empty());
}

// ---- apply_batch against a database ----
// Mapped rows go through the batch updater; hand-made rows through the literal road.

class ApplyBatch : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(testing::TempDir()) /
           ("batch_updater_" + std::to_string(::getpid()) + "_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  storage::Database create(const core::Schema& schema, bool raw_log) {
    auto db = storage::Database::create_with_options(dir_.string(), raw_log);
    for (const auto& variable : schema.variables) db.define_variable(variable);
    for (const auto& dimension : schema.dimensions) db.define_dimension(dimension);
    return db;
  }

  std::vector<std::string> raw_lines() const {
    std::ifstream in(dir_ / "raw" / "log_000001.raw");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::filesystem::path dir_;
};

const core::DistributionRepr& repr_of(const storage::Database& db, std::string_view variable,
                                      const core::DimensionKey& key) {
  const auto* distribution = db.find_distribution(variable, key);
  if (distribution == nullptr) throw std::runtime_error("no distribution " + std::string(variable));
  return distribution->repr;
}

TEST_F(ApplyBatch, EmptyBatchChangesNothing) {
  core::Schema schema;
  schema.variables = {kZeta};
  auto db = create(schema, true);
  EXPECT_EQ(Rows(schema, {}).apply(db, schema), (BatchStats{0, 0, 0}));
  EXPECT_TRUE(db.distributions().empty());
  EXPECT_TRUE(raw_lines().empty());
  EXPECT_EQ(db.meta().next_raw_record_id, 1u);
}

TEST_F(ApplyBatch, AggregatesPerVariableAndKeyAndFinalises) {
  core::Schema schema;
  schema.variables = {categorical("c", {"a", "b"}, true), continuous("x", 4, std::nullopt)};
  schema.dimensions = {{"region", "region", std::nullopt}};
  auto db = create(schema, false);
  Rows rows(schema, {{{"c", Value("a")}, {"region", Value("EU")}},
                     {{"c", Value("a")}, {"region", Value("EU")}, {"x", Value(0.9)}},
                     {{"c", Value("zz")}, {"region", Value("US")}},
                     {{"c", Value("b")}, {"region", Value("EU")}}});
  EXPECT_EQ(rows.apply(db, schema), (BatchStats{4, 0, 3}));

  const auto& eu = *repr_of(db, "c", {{"region", "EU"}}).get_if<core::ReprCategorical>();
  EXPECT_EQ(eu.counts, (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(eu.total_count, 3u);
  const auto& us = *repr_of(db, "c", {{"region", "US"}}).get_if<core::ReprCategorical>();
  EXPECT_EQ(us.unknown_count, 1u);
  const auto& x = *repr_of(db, "x", {{"region", "EU"}}).get_if<core::ReprHistogram>();
  EXPECT_EQ(x.bin_counts, (std::vector<std::uint64_t>{0, 0, 0, 1}));
  const auto* finalised = db.find_distribution("c", {{"region", "EU"}});
  EXPECT_EQ(finalised->sample_count, 3u);
  EXPECT_EQ(finalised->version, 2u);
  EXPECT_NEAR(finalised->entropy, 0.9182958340544896, 1e-12);
}

TEST_F(ApplyBatch, RowLackingADimensionIsSkippedAndCountsNowhere) {
  core::Schema schema;
  schema.variables = {continuous("x", 2, std::nullopt)};
  schema.dimensions = {{"region", "region", std::nullopt}, {"year", "year", std::nullopt}};
  auto db = create(schema, true);
  IngestMapping region_only;
  region_only.variables = {{"x", "x"}};
  region_only.dimensions = {{"region", "region"}};
  Rows rows(schema, {{{"x", Value(0.1)}, {"region", Value("EU")}}}, region_only);
  EXPECT_EQ(rows.apply(db, schema), (BatchStats{0, 1, 0}));
  EXPECT_TRUE(db.distributions().empty());
  EXPECT_TRUE(raw_lines().empty());
}

TEST_F(ApplyBatch, RawLogLinesFollowRowOrderAndSkipSkippedRows) {
  core::Schema schema;
  schema.variables = {continuous("x", 2, std::nullopt), categorical("c", {"a"}, false)};
  schema.dimensions = {{"region", "region", std::nullopt}, {"year", "year", std::nullopt}};
  auto db = create(schema, true);
  HandRows rows;
  rows.add({{"x", Value(0.1)}, {"c", Value("a")}}, {{"region", "EU"}, {"year", "1"}});
  rows.add({{"x", Value(0.2)}}, {{"region", "EU"}});
  rows.add({}, {{"region", "US"}, {"year", "2"}});
  EXPECT_EQ(rows.apply(db, schema), (BatchStats{2, 1, 2}));
  EXPECT_EQ(raw_lines(), (std::vector<std::string>{
                             R"({"payload":{"c":"a","x":0.1},"record_id":1})",
                             R"({"payload":{},"record_id":2})"}));
  EXPECT_EQ(db.meta().next_raw_record_id, 3u);
}

TEST_F(ApplyBatch, JointCellsLandInTheStoredJointForEitherListedOrder) {
  core::Schema schema;
  schema.variables = {kZeta, kAlpha, kWide, kNarrow};
  schema.joints = {{"zeta", "alpha"}, {"wide", "narrow"}, {"wide", "zeta"}};
  auto db = create(schema, false);
  Rows rows(schema, {{{"zeta", Value("z0")},
                      {"alpha", Value("a1")},
                      {"wide", Value("95")},
                      {"narrow", Value(0.3)}},
                     {{"zeta", Value("z0")},
                      {"alpha", Value("a1")},
                      {"wide", Value("5")},
                      {"narrow", Value("x")}}});
  EXPECT_EQ(rows.apply(db, schema), (BatchStats{2, 0, 4}));

  const auto* table = db.get_joint_distribution("zeta", "alpha", {});
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->variables, (std::pair<std::string, std::string>{"alpha", "zeta"}));
  const auto& counts = table->repr.get_if<core::JointContingencyTable>()->counts;
  EXPECT_EQ(counts[1][0], 2u);
  EXPECT_EQ(table->sample_count, 2u);

  const auto* grid = db.get_joint_distribution("narrow", "wide", {});
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->repr.get_if<core::JointHistogramGrid>()->counts[1][9], 1u);
  EXPECT_EQ(grid->sample_count, 1u);

  const auto* conditional = db.get_joint_distribution("zeta", "wide", {});
  ASSERT_NE(conditional, nullptr);
  const auto& histograms = conditional->repr.get_if<core::JointConditionalHistograms>()->histograms;
  EXPECT_EQ(histograms[0].get_if<core::ReprHistogram>()->bin_counts[9], 1u);
  EXPECT_EQ(histograms[0].get_if<core::ReprHistogram>()->bin_counts[0], 1u);
  EXPECT_EQ(conditional->sample_count, 2u);
}

TEST_F(ApplyBatch, RepeatedNamesInAStoredSchemaCountEachRowOnce) {
  core::Schema schema;
  schema.variables = {kZeta, kAlpha};
  auto db = create(schema, false);
  core::Schema stored = schema;
  stored.variables.push_back(categorical("zeta", {"z1"}, true));
  stored.joints = {{"zeta", "alpha"}, {"alpha", "zeta"}, {"zeta", "alpha"}};
  Rows rows(stored, {{{"zeta", Value("z1")}, {"alpha", Value("a0")}}});
  EXPECT_EQ(literal::resolve_row(stored, rows[0])->joint_cells.size(), 1u);
  EXPECT_EQ(rows.apply(db, stored), (BatchStats{1, 0, 2}));
  const auto& zeta = *repr_of(db, "zeta", {}).get_if<core::ReprCategorical>();
  EXPECT_EQ(zeta.counts, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(zeta.total_count, 1u);
  ASSERT_EQ(db.joints().size(), 1u);
  EXPECT_EQ(db.joints()[0].sample_count, 1u);
}

TEST_F(ApplyBatch, VariableWithoutBinsFromAStoredSchemaContributesNothing) {
  core::Schema schema;
  schema.variables = {continuous("x", 3, std::nullopt)};
  auto db = create(schema, false);
  core::Schema stored = schema;
  stored.variables.push_back(continuous("nobins", 0, std::nullopt));
  stored.joints = {{"x", "nobins"}};
  Rows rows(stored, {{{"x", Value(0.5)}, {"nobins", Value(0.5)}}});
  EXPECT_EQ(rows.apply(db, stored), (BatchStats{1, 0, 1}));
  EXPECT_TRUE(db.joints().empty());
}

TEST_F(ApplyBatch, ReadOnlyDatabaseRefusesAtTheFirstProcessedRow) {
  core::Schema schema;
  schema.variables = {categorical("c", {"a"}, false)};
  schema.dimensions = {{"region", "region", std::nullopt}};
  create(schema, true).flush();
  auto db = storage::Database::open(dir_.string(), false);
  // Nothing processed: nothing to refuse.
  IngestMapping without_dimensions;
  without_dimensions.variables = {{"c", "c"}};
  Rows skipped(schema, {{{"c", Value("a")}}}, without_dimensions);
  EXPECT_EQ(skipped.apply(db, schema), (BatchStats{0, 1, 0}));
  // A processed row with no usable value still has a raw-log line to refuse.
  Rows rows(schema, {{{"c", Value("nope")}, {"region", Value("EU")}},
                     {{"c", Value("a")}, {"region", Value("EU")}}});
  try {
    rows.apply(db, schema);
    FAIL() << "read-only batch succeeded";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "database opened in read-only mode");
  }
  EXPECT_TRUE(db.distributions().empty());
  EXPECT_TRUE(raw_lines().empty());
}

TEST_F(ApplyBatch, ReadOnlyDatabaseWithoutRawLogRefusesTheFirstCount) {
  core::Schema schema;
  schema.variables = {categorical("c", {"a"}, false)};
  create(schema, false).flush();
  auto db = storage::Database::open(dir_.string(), false);
  Rows unusable(schema, {{{"c", Value("nope")}}});
  EXPECT_EQ(unusable.apply(db, schema), (BatchStats{1, 0, 0}));
  Rows rows(schema, {{{"c", Value("a")}}});
  EXPECT_THROW(rows.apply(db, schema), Error);
  EXPECT_TRUE(db.distributions().empty());
}

TEST_F(ApplyBatch, LargeBatchKeepsRowOrderAcrossWorkers) {
  core::Schema schema;
  schema.variables = {continuous("x", 10, std::pair{0.0, 10.0})};
  schema.dimensions = {{"k", "k", std::nullopt}};
  auto db = create(schema, true);
  constexpr std::uint64_t kRows = 70001;
  std::vector<Fields> fields;
  std::vector<std::vector<std::uint64_t>> expected(7, std::vector<std::uint64_t>(10, 0));
  for (std::uint64_t i = 0; i < kRows; ++i) {
    fields.push_back({{"x", Value(i % 10)}, {"k", Value(std::to_string(i % 7))}});
    ++expected[i % 7][i % 10];
  }
  Rows rows(schema, fields);
  EXPECT_EQ(rows.apply(db, schema), (BatchStats{kRows, 0, 7}));
  for (int k = 0; k < 7; ++k) {
    const auto& histogram =
        *repr_of(db, "x", {{"k", std::to_string(k)}}).get_if<core::ReprHistogram>();
    EXPECT_EQ(histogram.bin_counts, expected[k]) << "key " << k;
  }
  const auto lines = raw_lines();
  ASSERT_EQ(lines.size(), kRows);
  for (std::uint64_t i = 0; i < kRows; i += 997) {
    std::ostringstream line;
    line << R"({"payload":{"x":)" << i % 10 << R"(},"record_id":)" << i + 1 << "}";
    EXPECT_EQ(lines[i], line.str());
  }
}

// CSV fields go into the raw log straight from the file's bytes; every line must be what the
// general JSON writer makes of the same texts.
TEST_F(ApplyBatch, RawLogLinesOfCsvFieldsAreThoseOfTheJsonWriter) {
  const std::vector<std::string> fields = {
      "", "plain", "1e5", "-0", "007", "+1", ".5", "1.", "NaN", "inf", "0x10", "1_000",
      "12345678901234567890123", "with space", "back\\slash", "tab\there", "bell\x07",
      "del\x7f", "\x1f", "caf\xC3\xA9", "\xE2\x80\xA8", "\xF0\x9F\x99\x82", "{\"a\":1}"};
  std::string csv = "k,v,w\n";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    csv += "key," + fields[i] + "," + fields[fields.size() - 1 - i] + "\n";
  }
  // Fields that only quoting can carry.
  const std::vector<std::string> quoted = {"q\"uote", "comma,", "line\nfeed", "cr\rlf", "\"\""};
  for (const std::string& field : quoted) {
    std::string escaped;
    for (const char c : field) escaped += c == '"' ? std::string("\"\"") : std::string(1, c);
    csv += "key,\"" + escaped + "\",plain\n";
  }
  const RowTable table = csv_reader::parse_csv(csv);
  core::Schema schema;
  schema.variables = {continuous("v", 4, std::pair{0.0, 1.0}), categorical("w", {"plain"}, true)};
  schema.dimensions = {{"k", "k", std::nullopt}};
  auto db = create(schema, true);
  const IngestMapping mapping = schema_inference::identity_mapping(schema);
  const ColumnBinding binding(mapping, table.columns());
  batch_updater::apply_batch(db, schema, table, binding, column_mapper::kept_rows(table, binding));

  std::vector<std::pair<std::string, std::string>> rows;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    rows.emplace_back(fields[i], fields[fields.size() - 1 - i]);
  }
  for (const std::string& field : quoted) rows.emplace_back(field, "plain");
  std::string expected;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const core::json::Object payload{{"v", Value(rows[i].first)}, {"w", Value(rows[i].second)}};
    expected += R"({"payload":)" + core::json::to_string(Value(payload)) +
                R"(,"record_id":)" + std::to_string(i + 1) + "}\n";
  }
  std::ifstream in(dir_ / "raw" / "log_000001.raw", std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, expected);
}

}  // namespace
}  // namespace quib::ingest
