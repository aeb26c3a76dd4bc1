// Mutual information, its conditional form and correlation discovery over joints that ingestion
// counted, checked against a tally and formulas of the test's own.
#include "query/correlations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
#include "query/engine.h"
#include "query/parser.h"
#include "storage/dist_store.h"
#include "storage/file_format.h"

namespace quib::query {
namespace {

namespace fs = std::filesystem;
using core::DimensionKey;
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
// {region} for "eu", "us" and "uk" (the same rows as "us", so their measures tie), plus
// colour-only rows for "solo" (no joint) and "void" (an empty joint); rows under
// {channel: web, region: eu}.
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

  storage::Database create_in(const std::string& name,
                              std::vector<std::pair<std::string, std::string>> joints) {
    fs::create_directories(dir_ / name);
    storage::MetaFile meta;
    meta.schema.variables = {categorical("color", kColors), categorical("shape", kShapes),
                             continuous("size", 4, 8.0), continuous("weight", 2, 2.0)};
    meta.schema.joints = std::move(joints);
    storage::file_format::write_file((dir_ / name / "meta.edb").string(), meta);
    return storage::Database::create_with_options((dir_ / name).string(), false);
  }

  storage::Database filled() {
    storage::Database db =
        create_in("db", {{"shape", "color"}, {"size", "weight"}, {"color", "size"}});
    ingest(db, {}, 50, 0);
    db.define_dimension({"region", "region", std::nullopt});
    ingest(db, {{"region", "eu"}}, 90, 1);
    ingest(db, {{"region", "us"}}, 70, 2);
    ingest(db, {{"region", "uk"}}, 70, 2);
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
  core::JointRepr contingency{core::JointContingencyTable{{"a", "b"}, {"x"}, {{7}, {8}}, 15}};
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

TEST_F(Correlations, MutualInfoOfEveryJointKindMatchesTheDirectComputation) {
  storage::Database db = filled();
  const std::tuple<const char*, const char*, const char*, const char*, Cells Tally::*> cases[] = {
      {"shape", "color", "region:eu", "region:eu", &Tally::color_shape},
      // Either order of the pair; the reference's variable plays no part.
      {"color", "shape", "variable:weight/region:us", "region:us", &Tally::color_shape},
      {"weight", "size", "variable:size", "", &Tally::size_weight},
      {"size", "weight", "channel:web/region:eu", "channel:web/region:eu", &Tally::size_weight},
      {"size", "color", "region:eu/channel:web", "channel:web/region:eu", &Tally::color_size},
  };
  for (const auto& [a, b, reference, key, cells] : cases) {
    EXPECT_NEAR(mutual_info(db, a, b, reference),
                direct_measures(tally(key).*cells, tally(key).total).mi, 1e-12)
        << reference;
  }
  EXPECT_EQ(mutual_info(db, "color", "shape", "region:void"), 0.0);
  EXPECT_EQ(QueryEngine().mutual_info(db, "shape", "color", "region:eu"),
            mutual_info(db, "shape", "color", "region:eu"));
  // Shares are of the stored total even when it exceeds the cells' sum.
  std::get<core::JointContingencyTable>(
      db.get_joint_distribution_mut("color", "shape", {{"region", "us"}})->repr.value)
      .total_count += 30;
  EXPECT_NEAR(mutual_info(db, "color", "shape", "region:us"),
              direct_measures(tally("region:us").color_shape, tally("region:us").total + 30).mi,
              1e-12);
}

TEST_F(Correlations, EveryFailureMessage) {
  const storage::Database db = filled();
  const std::string parse_error = error_of([] { parse_reference("region"); });
  ASSERT_NE(parse_error, "no error");
  const auto undefined = [](std::string a, std::string b) {
    return "no joint distribution defined for '" + a + "' and '" + b +
           "'; call define_joint() first";
  };
  const auto not_found = [](std::string key) {
    return "joint distribution not found for 'size' and 'color' at " + key;
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      // The reference is read before the pair is checked.
      {[&] { mutual_info(db, "color", "weight", "region"); }, parse_error},
      {[&] { mutual_info(db, "color", "weight", "region:eu"); }, undefined("color", "weight")},
      {[&] { mutual_info(db, "Color", "shape", "region:eu"); }, undefined("Color", "shape")},
      {[&] { mutual_info(db, "size", "color", "region:asia"); },
       not_found("{\"region\": \"asia\"}")},
      // Only the exact key: {channel, region} holds channel web but is another slice.
      {[&] { mutual_info(db, "size", "color", "channel:web"); },
       not_found("{\"channel\": \"web\"}")},
      {[&] { mutual_info(db, "size", "color", "region:solo"); },
       not_found("{\"region\": \"solo\"}")},
      {[&] { mutual_info(db, "size", "color", "z:a\"b\\/region:x\ty"); },
       not_found("{\"region\": \"x\\ty\", \"z\": \"a\\\"b\\\\\"}")},
      // The pair is checked before the dimension.
      {[&] { conditional_mutual_info(db, "shape", "weight", "nowhere", std::nullopt); },
       undefined("shape", "weight")},
      {[&] { conditional_mutual_info(db, "shape", "color", "nowhere", std::nullopt); },
       "no values found for dimension 'nowhere'"},
      // The only channel joint sits under {channel, region}, never under {channel} alone.
      {[&] { conditional_mutual_info(db, "shape", "color", "channel", std::nullopt); },
       "no joint distributions found across dimension 'channel'"},
      // Every value reads the empty joint at region void.
      {[&] { conditional_mutual_info(db, "shape", "color", "region", {{{"region", "void"}}}); },
       "no joint distributions found across dimension 'region'"},
      {[&] { discover_correlations(create_in("bare", {}), std::nullopt, 10); },
       "no joint distributions defined; call define_joint() first"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(error_of(call), message);
}

// ---- conditional mutual information ----

TEST_F(Correlations, ConditionalWeighsOnlyValuesWithNonEmptyJoints) {
  const storage::Database db = filled();
  const auto result = conditional_mutual_info(db, "shape", "color", "region", std::nullopt);
  EXPECT_EQ(result.dimension, "region");
  // "solo" has no joint and "void" an empty one: neither is listed nor weighed.
  const std::vector<std::string> values = {"eu", "uk", "us"};
  ASSERT_EQ(result.per_value.size(), values.size());
  std::uint64_t sum = 0;
  for (const std::string& value : values) sum += tally("region:" + value).total;
  double weighted = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const DimensionMI& row = result.per_value[i];
    const Tally& counts = tally("region:" + values[i]);
    const Measures expected = direct_measures(counts.color_shape, counts.total);
    EXPECT_EQ(row.value, values[i]);
    EXPECT_EQ(row.total, counts.total);
    expect_measures(row.mi, row.nmi, row.cramers_v, expected);
    weighted += static_cast<double>(counts.total) / static_cast<double>(sum) * expected.mi;
  }
  EXPECT_EQ(result.total_samples, sum);
  EXPECT_NEAR(result.cmi, weighted, 1e-12);

  // Extra pairs join every key; one for the dimension itself replaces every value.
  const auto web =
      conditional_mutual_info(db, "color", "size", "region", DimensionKey{{"channel", "web"}});
  const Tally& counts = tally("channel:web/region:eu");
  ASSERT_EQ(web.per_value.size(), 1u);
  EXPECT_EQ(web.per_value[0].value, "eu");
  EXPECT_EQ(web.total_samples, counts.total);
  EXPECT_NEAR(web.cmi, direct_measures(counts.color_size, counts.total).mi, 1e-12);
  const auto us =
      conditional_mutual_info(db, "color", "size", "region", DimensionKey{{"region", "us"}});
  ASSERT_EQ(us.per_value.size(), 5u);  // eu, solo, uk, us, void, each reading the us joint
  EXPECT_EQ(us.per_value[1].value, "solo");
  EXPECT_EQ(us.total_samples, 5 * tally("region:us").total);
  EXPECT_NEAR(us.cmi, us.per_value[0].mi, 1e-12);
  EXPECT_EQ(QueryEngine().conditional_mutual_info(db, "color", "size", "region", std::nullopt)
                .per_value,
            conditional_mutual_info(db, "color", "size", "region", std::nullopt).per_value);
}

// ---- correlation discovery ----

// The report's rows from the tally: for every schema pair in schema order, its slices in the
// order given, then ranked stably by mi descending.
std::vector<VariablePairCorrelation> expected_rows(
    const std::map<std::string, Tally>& tallies,
    const std::vector<std::pair<std::optional<std::string>, std::string>>& slices) {
  std::vector<VariablePairCorrelation> out;
  for (const auto& [a, b, cells] : {std::tuple{"shape", "color", &Tally::color_shape},
                                    std::tuple{"size", "weight", &Tally::size_weight},
                                    std::tuple{"color", "size", &Tally::color_size}}) {
    for (const auto& [slice, key] : slices) {
      const Tally& counts = tallies.at(key);
      const Measures m = direct_measures(counts.*cells, counts.total);
      out.push_back({a, b, slice, m.mi, m.nmi, m.cramers_v, counts.total});
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& x, const auto& y) { return x.mi > y.mi; });
  return out;
}

TEST_F(Correlations, ReportsRankEveryMatchingSliceAndCountEveryJointExamined) {
  const storage::Database db = filled();
  // The pair listed as (shape, color) keeps that order although its joint stores color first;
  // the tied us and uk rows keep storage order without a dimension, value order with one.
  const std::vector<VariablePairCorrelation> every_slice = expected_rows(
      tallies_, {{std::nullopt, ""}, {"region:eu", "region:eu"}, {"region:us", "region:us"},
                 {"region:uk", "region:uk"}, {"channel:web/region:eu", "channel:web/region:eu"}});
  const std::vector<VariablePairCorrelation> by_region = expected_rows(
      tallies_, {{"eu", "region:eu"}, {"uk", "region:uk"}, {"us", "region:us"}});
  const std::tuple<std::optional<std::string_view>, std::uint64_t,
                   std::vector<VariablePairCorrelation>, std::uint64_t>
      cases[] = {
          // The empty joint at region void counts as examined.
          {std::nullopt, 100, every_slice, 16},
          {"region", 100, by_region, 10},
          // A limit keeps the leading rows; every matching joint still counts.
          {std::nullopt, 0, {}, 16},
          {std::nullopt, 5, {every_slice.begin(), every_slice.begin() + 5}, 16},
          {"region", 9, by_region, 10},
          {"channel", 100, {}, 0},
          {"nowhere", 100, {}, 0},
      };
  // The engine answers exactly as the operation does.
  EXPECT_EQ(QueryEngine().discover_correlations(db, "region", 100).pairs,
            discover_correlations(db, "region", 100).pairs);
  for (const auto& [dimension, limit, rows, examined] : cases) {
    SCOPED_TRACE(std::string(dimension.value_or("-")) + " limit " + std::to_string(limit));
    const CorrelationReport report = discover_correlations(db, dimension, limit);
    EXPECT_EQ(report.dimension, dimension);
    EXPECT_EQ(report.joints_examined, examined);
    ASSERT_EQ(report.pairs.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(std::tie(report.pairs[i].var_a, report.pairs[i].var_b, report.pairs[i].slice,
                         report.pairs[i].total),
                std::tie(rows[i].var_a, rows[i].var_b, rows[i].slice, rows[i].total));
      expect_measures(report.pairs[i].mi, report.pairs[i].nmi, report.pairs[i].cramers_v,
                      {rows[i].mi, rows[i].nmi, rows[i].cramers_v});
    }
  }
}

}  // namespace
}  // namespace quib::query
