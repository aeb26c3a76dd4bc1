// Mutual information, its conditional form and correlation discovery over joints that ingestion
// counted, checked against a tally and formulas of the test's own.
#include "query/correlations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/error.h"
#include "ingest/column_mapper.h"
#include "ingest/pipeline.h"
#include "ingest/row.h"
#include "query/parser.h"
#include "storage/dist_store.h"
#include "storage/file_format.h"

namespace quib::query {
namespace {

namespace fs = std::filesystem;
using core::json::Value;
using Cells = std::vector<std::vector<std::uint64_t>>;

const std::vector<std::string> kColors = {"red", "green", "blue"};
const std::vector<std::string> kShapes = {"circle", "square"};

// One generated row as category and bin positions; sizes sit at the centres of four bins over
// [0, 8], weights at the centres of two bins over [0, 2].
struct Sample {
  std::size_t color, shape, size, weight;
};

// Deterministic rows whose pairs lean on each other by an amount that `salt` changes.
Sample sample_of(std::uint64_t i, std::uint64_t salt) {
  const std::uint64_t h = (i * 7919 + salt * 104729) % 1009;
  const std::size_t color = h % 3;
  const std::size_t shape = (h / 3) % (salt + 2) == 0 ? 1 - color % 2 : color % 2;
  const std::size_t size = (color + (h / 7) % (salt + 1)) % 4;
  const std::size_t weight = (size / 2 + (h / 11) % 2 * (salt % 2)) % 2;
  return {color, shape, size, weight};
}

// The three joints of one dimension key, in the stored orientation (the smaller name's values
// are the rows).
struct Tally {
  Cells color_shape = Cells(3, std::vector<std::uint64_t>(2));
  Cells size_weight = Cells(4, std::vector<std::uint64_t>(2));
  Cells color_size = Cells(3, std::vector<std::uint64_t>(4));
  std::uint64_t total = 0;
};

struct Measures {
  double mi, nmi, cramers_v;
};

// The measures straight from their definitions, over shares of `total`.
Measures direct_measures(const Cells& cells, std::uint64_t total) {
  const double n = static_cast<double>(total);
  std::vector<double> rows(cells.size()), cols(cells[0].size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    for (std::size_t j = 0; j < cols.size(); ++j) {
      rows[i] += static_cast<double>(cells[i][j]);
      cols[j] += static_cast<double>(cells[i][j]);
    }
  }
  double mi = 0, chi2 = 0, hx = 0, hy = 0;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    for (std::size_t j = 0; j < cols.size(); ++j) {
      const double p = static_cast<double>(cells[i][j]) / n;
      if (p > 0) mi += p * std::log2(p * n * n / (rows[i] * cols[j]));
      const double expected = rows[i] * cols[j] / n;
      if (expected > 0) chi2 += std::pow(static_cast<double>(cells[i][j]) - expected, 2) / expected;
    }
  }
  for (const double r : rows) hx -= r > 0 ? r / n * std::log2(r / n) : 0;
  for (const double c : cols) hy -= c > 0 ? c / n * std::log2(c / n) : 0;
  const double k = static_cast<double>(std::min(rows.size(), cols.size()) - 1);
  const double floor_entropy = std::min(hx, hy);
  return {mi, floor_entropy > 0 ? std::clamp(mi / floor_entropy, 0.0, 1.0) : 0.0,
          std::min(1.0, std::sqrt(chi2 / (n * k)))};
}

void expect_measures(double mi, double nmi, double v, const Measures& expected) {
  EXPECT_NEAR(mi, expected.mi, 1e-12);
  EXPECT_NEAR(nmi, expected.nmi, 1e-12);
  EXPECT_NEAR(v, expected.cramers_v, 1e-12);
}

std::string error_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& error) {
    return error.full();
  }
  return "no error";
}

core::VariableDefinition categorical(std::string name, std::vector<std::string> categories) {
  return {std::move(name), {core::VariableType::Categorical{std::move(categories), true}}};
}

core::VariableDefinition continuous(std::string name, std::uint32_t bins, double max) {
  return {std::move(name), {core::VariableType::Continuous{bins, std::make_pair(0.0, max)}}};
}

// A database whose stored schema lists the pairs (shape, color), (size, weight) and
// (color, size), filled by ingestion in three stages: rows under the empty key; rows under
// {region} for "eu" and "us", plus colour-only rows for "solo" (no joint) and "void" (an empty
// joint); rows under {channel: web, region: eu}.
class Correlations : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("correlations_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  storage::Database create(std::vector<std::pair<std::string, std::string>> joints) {
    storage::MetaFile meta;
    meta.schema.variables = {categorical("color", kColors), categorical("shape", kShapes),
                             continuous("size", 4, 8.0), continuous("weight", 2, 2.0)};
    meta.schema.joints = std::move(joints);
    storage::file_format::write_file((dir_ / "meta.edb").string(), meta);
    return storage::Database::create_with_options(dir_.string(), false);
  }

  storage::Database filled() {
    storage::Database db = create({{"shape", "color"}, {"size", "weight"}, {"color", "size"}});
    ingest(db, {}, 50, 0);
    db.define_dimension({"region", "region", std::nullopt});
    ingest(db, {{"region", "eu"}}, 90, 1);
    ingest(db, {{"region", "us"}}, 70, 2);
    ingest_color_only(db, "solo");
    ingest_color_only(db, "void");
    db.ensure_joint_distribution("color", "shape", {{"region", "void"}});
    db.define_dimension({"channel", "channel", std::nullopt});
    ingest(db, {{"channel", "web"}, {"region", "eu"}}, 40, 3);
    return db;
  }

  void ingest(storage::Database& db, const core::DimensionKey& key, std::uint64_t rows,
              std::uint64_t salt) {
    Tally& tally = tallies_[core::canonical_dimension_key(key)];
    ingest::RowTable table;
    for (std::uint64_t i = 0; i < rows; ++i) {
      const Sample s = sample_of(i, salt);
      std::vector<std::pair<std::string, Value>> fields = {
          {"color", Value(kColors[s.color])},
          {"shape", Value(kShapes[s.shape])},
          {"size", Value(2.0 * static_cast<double>(s.size) + 1.0)},
          {"weight", Value(static_cast<double>(s.weight) + 0.5)}};
      for (const auto& [name, value] : key) fields.emplace_back(name, Value(value));
      table.add_row(fields);
      ++tally.color_shape[s.color][s.shape];
      ++tally.size_weight[s.size][s.weight];
      ++tally.color_size[s.color][s.size];
      ++tally.total;
    }
    run(db, table);
  }

  void ingest_color_only(storage::Database& db, const std::string& region) {
    ingest::RowTable table;
    const std::vector<std::pair<std::string, Value>> fields = {{"color", Value("red")},
                                                               {"region", Value(region)}};
    table.add_row(fields);
    run(db, table);
  }

  static void run(storage::Database& db, const ingest::RowTable& table) {
    ingest::IngestionPipeline::ingest_rows_internal(
        db, table, ingest::schema_inference::identity_mapping(db.schema()), 10000, false);
  }

  const Tally& tally(const std::string& key) const { return tallies_.at(key); }

  fs::path dir_;
  std::map<std::string, Tally> tallies_;  // by canonical key text
};

// ---- count tables ----

TEST(JointCountTable, EveryJointKindGivesItsRowsOfCounts) {
  core::JointRepr grid{core::JointHistogramGrid{0, 1, 2, 0, 1, 3, {{1, 2, 3}, {4, 5, 6}}, 21}};
  core::JointRepr contingency{
      core::JointContingencyTable{{"a", "b"}, {"x"}, {{7}, {8}}, 15}};
  core::JointRepr conditional{core::JointConditionalHistograms{
      {"p", "q"},
      {core::DistributionRepr{core::ReprHistogram{0, 1, {3, 0, 1}, 4}},
       core::DistributionRepr{core::ReprCategorical{{"u", "v", "w"}, {2, 2, 5}, 9, 18}}},
      22}};
  core::JointRepr empty_conditional{core::JointConditionalHistograms{}};
  EXPECT_EQ(joint_count_table(grid), (Cells{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(joint_count_table(contingency), (Cells{{7}, {8}}));
  // A categorical row leaves its unknown count out.
  EXPECT_EQ(joint_count_table(conditional), (Cells{{3, 0, 1}, {2, 2, 5}}));
  EXPECT_EQ(joint_count_table(empty_conditional), Cells{});
}

// ---- mutual information ----

struct MiCase {
  const char* a;
  const char* b;
  const char* reference;
  const char* key;  // canonical text of the key the reference names
  Cells Tally::*cells;
};

class MutualInfo : public Correlations, public testing::WithParamInterface<MiCase> {};

TEST_P(MutualInfo, MatchesTheDirectComputationAtTheReferencesKey) {
  const storage::Database db = filled();
  const Tally& counts = tally(GetParam().key);
  EXPECT_NEAR(mutual_info(db, GetParam().a, GetParam().b, GetParam().reference),
              direct_measures(counts.*GetParam().cells, counts.total).mi, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    JointsOfEveryKind, MutualInfo,
    testing::Values(
        MiCase{"shape", "color", "region:eu", "region:eu", &Tally::color_shape},
        // Either order of the pair; the reference's variable plays no part.
        MiCase{"color", "shape", "variable:weight/region:us", "region:us", &Tally::color_shape},
        MiCase{"weight", "size", "variable:size", "", &Tally::size_weight},
        MiCase{"size", "weight", "channel:web/region:eu", "channel:web/region:eu",
               &Tally::size_weight},
        MiCase{"color", "size", "region:eu", "region:eu", &Tally::color_size},
        MiCase{"size", "color", "region:eu/channel:web", "channel:web/region:eu",
               &Tally::color_size}));

TEST_F(Correlations, MutualInfoTakesTheJointsOwnTotalAndAnEmptyJointGivesZero) {
  storage::Database db = filled();
  EXPECT_EQ(mutual_info(db, "color", "shape", "region:void"), 0.0);
  // Shares are of the stored total even when it exceeds the cells' sum.
  auto& table = std::get<core::JointContingencyTable>(
      db.get_joint_distribution_mut("color", "shape", {{"region", "us"}})->repr.value);
  table.total_count += 30;
  EXPECT_NEAR(mutual_info(db, "color", "shape", "region:us"),
              direct_measures(tally("region:us").color_shape, tally("region:us").total + 30).mi,
              1e-12);
}

TEST_F(Correlations, MutualInfoFailures) {
  const storage::Database db = filled();
  const std::string parse_error = error_of([] { parse_reference("region"); });
  ASSERT_NE(parse_error, "no error");
  const std::pair<std::function<void()>, std::string> cases[] = {
      // The reference is read before the pair is checked.
      {[&] { mutual_info(db, "color", "weight", "region"); }, parse_error},
      {[&] { mutual_info(db, "color", "weight", "region:eu"); },
       "no joint distribution defined for 'color' and 'weight'; call define_joint() first"},
      // Names compare byte for byte.
      {[&] { mutual_info(db, "Color", "shape", "region:eu"); },
       "no joint distribution defined for 'Color' and 'shape'; call define_joint() first"},
      {[&] { mutual_info(db, "shape", "color", "region:asia"); },
       "joint distribution not found for 'shape' and 'color' at {\"region\": \"asia\"}"},
      // Only the exact key: {channel, region} holds region eu but is another slice.
      {[&] { mutual_info(db, "shape", "color", "channel:web"); },
       "joint distribution not found for 'shape' and 'color' at {\"channel\": \"web\"}"},
      {[&] { mutual_info(db, "size", "color", "region:solo"); },
       "joint distribution not found for 'size' and 'color' at {\"region\": \"solo\"}"},
      {[&] { mutual_info(db, "size", "color", "z:a\"b\\/region:x\ty"); },
       "joint distribution not found for 'size' and 'color' at "
       "{\"region\": \"x\\ty\", \"z\": \"a\\\"b\\\\\"}"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(error_of(call), message);
}

// ---- conditional mutual information ----

TEST_F(Correlations, ConditionalWeighsOnlyValuesWithNonEmptyJoints) {
  const storage::Database db = filled();
  const CondMutualInfoResult result =
      conditional_mutual_info(db, "shape", "color", "region", std::nullopt);
  EXPECT_EQ(result.dimension, "region");
  // "solo" has no joint and "void" an empty one: neither is listed nor weighed.
  ASSERT_EQ(result.per_value.size(), 2u);
  double weighted = 0;
  const std::uint64_t sum = tally("region:eu").total + tally("region:us").total;
  for (std::size_t i = 0; i < 2; ++i) {
    const DimensionMI& row = result.per_value[i];
    const std::string value = i == 0 ? "eu" : "us";
    const Tally& counts = tally("region:" + value);
    const Measures expected = direct_measures(counts.color_shape, counts.total);
    EXPECT_EQ(row.value, value);
    EXPECT_EQ(row.total, counts.total);
    expect_measures(row.mi, row.nmi, row.cramers_v, expected);
    weighted += static_cast<double>(counts.total) / static_cast<double>(sum) * expected.mi;
  }
  EXPECT_EQ(result.total_samples, sum);
  EXPECT_NEAR(result.cmi, weighted, 1e-12);
}

TEST_F(Correlations, ConditionalExtraPairsJoinOrReplaceTheKey) {
  const storage::Database db = filled();
  const CondMutualInfoResult web =
      conditional_mutual_info(db, "color", "size", "region", core::DimensionKey{{"channel", "web"}});
  ASSERT_EQ(web.per_value.size(), 1u);
  const Tally& counts = tally("channel:web/region:eu");
  EXPECT_EQ(web.per_value[0].value, "eu");
  EXPECT_EQ(web.total_samples, counts.total);
  EXPECT_NEAR(web.cmi, direct_measures(counts.color_size, counts.total).mi, 1e-12);

  // A pair for the dimension itself replaces every value: each row reads the us joint.
  const CondMutualInfoResult us =
      conditional_mutual_info(db, "color", "size", "region", core::DimensionKey{{"region", "us"}});
  std::vector<std::string> values;
  for (const DimensionMI& row : us.per_value) {
    values.push_back(row.value);
    EXPECT_EQ(row.total, tally("region:us").total);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"eu", "solo", "us", "void"}));
  EXPECT_EQ(us.total_samples, 4 * tally("region:us").total);
  EXPECT_NEAR(us.cmi, us.per_value[0].mi, 1e-12);
}

TEST_F(Correlations, ConditionalFailures) {
  const storage::Database db = filled();
  const std::pair<std::function<void()>, std::string> cases[] = {
      // The pair is checked before the dimension.
      {[&] { conditional_mutual_info(db, "shape", "weight", "nowhere", std::nullopt); },
       "no joint distribution defined for 'shape' and 'weight'; call define_joint() first"},
      {[&] { conditional_mutual_info(db, "shape", "color", "nowhere", std::nullopt); },
       "no values found for dimension 'nowhere'"},
      // The only channel joint sits under {channel, region}, never under {channel} alone.
      {[&] { conditional_mutual_info(db, "shape", "color", "channel", std::nullopt); },
       "no joint distributions found across dimension 'channel'"},
      {[&] {
         conditional_mutual_info(db, "shape", "color", "region",
                                 core::DimensionKey{{"region", "void"}});
       },
       "no joint distributions found across dimension 'region'"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(error_of(call), message);
}

// ---- correlation discovery ----

struct ExpectedRow {
  const char* var_a;
  const char* var_b;
  std::optional<std::string> slice;
  const char* key;
  Cells Tally::*cells;
};

// The rows in the order they are produced (schema order of the pairs, then storage or value
// order), ranked the way the report must rank them: stably, by mi descending.
std::vector<VariablePairCorrelation> ranked(const std::map<std::string, Tally>& tallies,
                                            const std::vector<ExpectedRow>& rows) {
  std::vector<VariablePairCorrelation> out;
  for (const ExpectedRow& row : rows) {
    const Tally& counts = tallies.at(row.key);
    const Measures m = direct_measures(counts.*row.cells, counts.total);
    out.push_back({row.var_a, row.var_b, row.slice, m.mi, m.nmi, m.cramers_v, counts.total});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& x, const auto& y) { return x.mi > y.mi; });
  return out;
}

void expect_rows(const std::vector<VariablePairCorrelation>& actual,
                 const std::vector<VariablePairCorrelation>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(actual[i].var_a, expected[i].var_a);
    EXPECT_EQ(actual[i].var_b, expected[i].var_b);
    EXPECT_EQ(actual[i].slice, expected[i].slice);
    EXPECT_EQ(actual[i].total, expected[i].total);
    expect_measures(actual[i].mi, actual[i].nmi, actual[i].cramers_v,
                    {expected[i].mi, expected[i].nmi, expected[i].cramers_v});
  }
}

TEST_F(Correlations, WithoutADimensionEveryStoredSliceOfEveryPairIsARow) {
  const storage::Database db = filled();
  const CorrelationReport report = discover_correlations(db, std::nullopt, 100);
  const std::string eu = "region:eu", us = "region:us", web = "channel:web/region:eu";
  // The pair listed as (shape, color) keeps that order although its joint stores color first.
  std::vector<ExpectedRow> rows;
  for (auto [a, b, cells] : {std::tuple{"shape", "color", &Tally::color_shape},
                             std::tuple{"size", "weight", &Tally::size_weight},
                             std::tuple{"color", "size", &Tally::color_size}}) {
    rows.push_back({a, b, std::nullopt, "", cells});
    rows.push_back({a, b, eu, "region:eu", cells});
    rows.push_back({a, b, us, "region:us", cells});
    rows.push_back({a, b, web, "channel:web/region:eu", cells});
  }
  expect_rows(report.pairs, ranked(tallies_, rows));
  EXPECT_EQ(report.dimension, std::nullopt);
  // The empty joint at region void counts as examined.
  EXPECT_EQ(report.joints_examined, 13u);
}

TEST_F(Correlations, WithADimensionOnlyJointsAtExactlyThatKeyMatch) {
  const storage::Database db = filled();
  const CorrelationReport report = discover_correlations(db, "region", 100);
  std::vector<ExpectedRow> rows;
  for (auto [a, b, cells] : {std::tuple{"shape", "color", &Tally::color_shape},
                             std::tuple{"size", "weight", &Tally::size_weight},
                             std::tuple{"color", "size", &Tally::color_size}}) {
    rows.push_back({a, b, "eu", "region:eu", cells});
    rows.push_back({a, b, "us", "region:us", cells});
  }
  expect_rows(report.pairs, ranked(tallies_, rows));
  EXPECT_EQ(report.dimension, "region");
  EXPECT_EQ(report.joints_examined, 7u);

  const CorrelationReport channel = discover_correlations(db, "channel", 100);
  EXPECT_TRUE(channel.pairs.empty());
  EXPECT_EQ(channel.dimension, "channel");
  EXPECT_EQ(channel.joints_examined, 0u);
  EXPECT_TRUE(discover_correlations(db, "nowhere", 100).pairs.empty());
}

TEST_F(Correlations, TheLimitKeepsTheTopRowsAndEveryJointStaysExamined) {
  const storage::Database db = filled();
  const CorrelationReport all = discover_correlations(db, std::nullopt, 12);
  ASSERT_EQ(all.pairs.size(), 12u);
  for (const std::uint64_t limit : {0u, 1u, 5u, 13u}) {
    const CorrelationReport report = discover_correlations(db, std::nullopt, limit);
    const auto kept = std::min<std::size_t>(limit, all.pairs.size());
    EXPECT_EQ(report.pairs, std::vector(all.pairs.begin(), all.pairs.begin() + kept));
    EXPECT_EQ(report.joints_examined, 13u);
  }
}

TEST_F(Correlations, NoJointDefinitionsIsTheOnlyFailure) {
  storage::Database db = create({});
  EXPECT_EQ(error_of([&] { discover_correlations(db, std::nullopt, 10); }),
            "no joint distributions defined; call define_joint() first");
  EXPECT_EQ(error_of([&] { discover_correlations(db, "region", 10); }),
            "no joint distributions defined; call define_joint() first");
}

}  // namespace
}  // namespace quib::query
