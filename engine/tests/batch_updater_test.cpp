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
#include "batch_rows.h"


namespace quib::ingest {
namespace {

using namespace batch_rows;

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
