// Mutual information, its conditional form and correlation discovery over joints that ingestion
// counted, checked against a tally and formulas of the test's own.
#include "query/correlations.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ingest/column_mapper.h"
#include "ingest/pipeline.h"
#include "ingest/row.h"
#include "query/parser.h"
#include "query_oracles.h"
#include "query_test_db.h"
#include "row_building.h"

namespace quib::query {
namespace {

using core::DimensionKey;
using core::json::Value;
using testing_db::categorical;
using testing_db::continuous;
using testing_db::error_of;
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

double mi_of(const Cells& cells, std::uint64_t total) {
  return static_cast<double>(oracle::TableOracle(cells, total).mi);
}

void expect_measures(double mi, double nmi, double v, const oracle::TableOracle& expected) {
  EXPECT_NEAR(mi, static_cast<double>(expected.mi), 1e-12);
  EXPECT_NEAR(nmi, static_cast<double>(expected.nmi), 1e-12);
  EXPECT_NEAR(v, static_cast<double>(expected.v), 1e-12);
}

// A database whose stored schema lists the pairs (shape, color), (size, weight) and
// (color, size), filled by ingestion in three stages: rows under the empty key; rows under
// {region} for "eu", "us" and "uk" (the same rows as "us", so their measures tie), plus
// colour-only rows for "solo" (no joint) and "void" (an empty joint); rows under
// {channel: web, region: eu}.
class Correlations : public testing_db::QueryDbTest {
 protected:
  storage::Database& filled() {
    core::Schema schema;
    schema.variables = {categorical("color", kColors), categorical("shape", kShapes),
                        continuous("size", 4, {{0.0, 8.0}}),
                        continuous("weight", 2, {{0.0, 2.0}})};
    schema.joints = {{"shape", "color"}, {"size", "weight"}, {"color", "size"}};
    recreate_with(schema);
    ingest({}, 50, 0);
    db().define_dimension({"region", "region", std::nullopt});
    ingest({{"region", "eu"}}, 90, 1);
    ingest({{"region", "us"}}, 70, 2);
    ingest({{"region", "uk"}}, 70, 2);
    for (const char* region : {"solo", "void"}) {
      ingest::RowTable table;
      add_row(table, std::vector<std::pair<std::string, Value>>{{"color", Value("red")},
                                                                {"region", Value(region)}});
      run(table);
    }
    db().ensure_joint_distribution("color", "shape", {{"region", "void"}});
    db().define_dimension({"channel", "channel", std::nullopt});
    ingest({{"channel", "web"}, {"region", "eu"}}, 40, 3);
    return db();
  }

  void ingest(const core::DimensionKey& key, std::uint64_t rows, std::uint64_t salt) {
    Tally& tally = tallies_[core::canonical_dimension_key(key)];
    ingest::RowTable table;
    for (std::uint64_t i = 0; i < rows; ++i) {
      const Sample s = sample_of(i, salt);
      std::vector<std::pair<std::string, Value>> fields = {
          {"color", Value(kColors[s.color])},
          {"shape", Value(kShapes[s.shape])},
          {"size", Value(2.0 * static_cast<double>(s.size) + 1.0)},
          {"weight", Value(static_cast<double>(s.weight) + 0.5)}};
      for (const auto& [name, value] : key) fields.emplace_back(name, Value(std::string(value)));
      add_row(table, fields);
      ++tally.color_shape[s.color][s.shape];
      ++tally.size_weight[s.size][s.weight];
      ++tally.color_size[s.color][s.size];
      ++tally.total;
    }
    run(table);
  }

  void run(const ingest::RowTable& table) {
    ingest::IngestionPipeline::ingest_rows_internal(
        db(), table, ingest::schema_inference::identity_mapping(db().schema()), 10000, false);
  }

  const Tally& tally(const std::string& key) const { return tallies_.at(key); }

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
  storage::Database& db = filled();
  const std::tuple<const char*, const char*, const char*, const char*, Cells Tally::*> cases[] = {
      {"shape", "color", "region:eu", "region:eu", &Tally::color_shape},
      // Either order of the pair; the reference's variable plays no part.
      {"color", "shape", "variable:weight/region:us", "region:us", &Tally::color_shape},
      {"weight", "size", "variable:size", "", &Tally::size_weight},
      {"size", "weight", "channel:web/region:eu", "channel:web/region:eu", &Tally::size_weight},
      {"size", "color", "region:eu/channel:web", "channel:web/region:eu", &Tally::color_size},
  };
  for (const auto& [a, b, reference, key, cells] : cases) {
    EXPECT_NEAR(mutual_info(db, a, b, reference), mi_of(tally(key).*cells, tally(key).total), 1e-12)
        << reference;
  }
  EXPECT_EQ(mutual_info(db, "color", "shape", "region:void"), 0.0);
  // Shares are of the stored total even when it exceeds the cells' sum.
  std::get<core::JointContingencyTable>(
      db.get_joint_distribution_mut("color", "shape", {{"region", "us"}})->repr.value)
      .total_count += 30;
  EXPECT_NEAR(mutual_info(db, "color", "shape", "region:us"),
              mi_of(tally("region:us").color_shape, tally("region:us").total + 30), 1e-12);
}

TEST_F(Correlations, EveryFailureMessage) {
  EXPECT_EQ(error_of([&] { discover_correlations(db(), std::nullopt, 10); }),
            "no joint distributions defined; call define_joint() first");
  const storage::Database& db = filled();
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
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(error_of(call), message);
}

// ---- conditional mutual information ----

TEST_F(Correlations, ConditionalWeighsOnlyValuesWithNonEmptyJoints) {
  const storage::Database& db = filled();
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
    EXPECT_EQ(row.value, values[i]);
    EXPECT_EQ(row.total, counts.total);
    expect_measures(row.mi, row.nmi, row.cramers_v, {counts.color_shape, counts.total});
    weighted += static_cast<double>(counts.total) / static_cast<double>(sum) *
                mi_of(counts.color_shape, counts.total);
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
  EXPECT_NEAR(web.cmi, mi_of(counts.color_size, counts.total), 1e-12);
  const auto us =
      conditional_mutual_info(db, "color", "size", "region", DimensionKey{{"region", "us"}});
  ASSERT_EQ(us.per_value.size(), 5u);  // eu, solo, uk, us, void, each reading the us joint
  EXPECT_EQ(us.per_value[1].value, "solo");
  EXPECT_EQ(us.total_samples, 5 * tally("region:us").total);
  EXPECT_NEAR(us.cmi, us.per_value[0].mi, 1e-12);
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
      const oracle::TableOracle m(counts.*cells, counts.total);
      out.push_back({a, b, slice, static_cast<double>(m.mi), static_cast<double>(m.nmi),
                     static_cast<double>(m.v), counts.total});
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& x, const auto& y) { return x.mi > y.mi; });
  return out;
}

TEST_F(Correlations, ReportsRankEveryMatchingSliceAndCountEveryJointExamined) {
  const storage::Database& db = filled();
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
      EXPECT_NEAR(report.pairs[i].mi, rows[i].mi, 1e-12);
      EXPECT_NEAR(report.pairs[i].nmi, rows[i].nmi, 1e-12);
      EXPECT_NEAR(report.pairs[i].cramers_v, rows[i].cramers_v, 1e-12);
    }
  }
}

}  // namespace
}  // namespace quib::query
