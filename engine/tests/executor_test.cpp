// The executor: each statement's whole table on a small database, its own messages, and the
// errors it passes through. Figures that come from the engine are checked against the engine's
// own result formatted here with printf, so these tests pin the cells, titles and row orders.
#include "sql/executor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.h"
#include "query/engine.h"
#include "literal_store.h"
#include "storage/dist_store.h"
#include "storage/file_format.h"

namespace quib::sql {
namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;
using Columns = std::vector<std::string>;

std::string format(const char* pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

core::VariableDefinition categorical(std::string name, std::vector<std::string> categories) {
  return {std::move(name), {core::VariableType::Categorical{std::move(categories), true}}};
}

core::VariableDefinition continuous(std::string name, std::uint32_t bins,
                                    std::optional<std::pair<double, double>> range) {
  return {std::move(name), {core::VariableType::Continuous{bins, range}}};
}

// A database whose schema (joints included) is written before it is opened, filled count by
// count so that every figure is known.
class Executor : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("executor_" + std::to_string(::getpid()) + "_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  storage::Database open(const core::Schema& schema) {
    fs::create_directories(dir_);
    storage::MetaFile meta;
    meta.schema = schema;
    storage::file_format::write_file((dir_ / "meta.edb").string(), meta);
    return storage::Database::create_with_options(dir_.string(), false);
  }

  // price in 4 bins over [0, 1), color (red, green, blue), size (s, l) with the joint
  // (color, size), weight without a range; dimensions region, channel and time. The region mars
  // carries price alone.
  storage::Database sample() {
    core::Schema schema;
    schema.variables = {continuous("price", 4, {{0.0, 1.0}}),
                        categorical("color", {"red", "green", "blue"}),
                        categorical("size", {"s", "l"}), continuous("weight", 2, std::nullopt)};
    schema.dimensions = {{"region", "region_col", std::nullopt},
                         {"channel", "channel", std::nullopt},
                         {"time", "date", std::string("monthly")}};
    schema.joints = {{"color", "size"}};
    storage::Database db = open(schema);
    put_categories(db, "color", {{"region", "eu"}}, {5, 3, 2});
    put_categories(db, "color", {{"region", "us"}}, {1, 1, 8});
    put_categories(db, "color", {{"region", "asia"}}, {5, 3, 2});
    put_categories(db, "color", {{"region", "eu"}, {"channel", "web"}}, {4, 0, 0});
    put_categories(db, "color", {{"region", "us"}, {"channel", "web"}}, {0, 0, 4});
    put_categories(db, "size", {{"region", "eu"}}, {6, 4});
    put_categories(db, "size", {{"region", "us"}}, {2, 8});
    put_categories(db, "size", {{"region", "asia"}}, {6, 4});
    put_bins(db, "price", {{"region", "eu"}}, {1, 0, 3, 0});
    put_bins(db, "price", {{"region", "us"}}, {0, 2, 1, 1});
    put_bins(db, "price", {{"region", "mars"}}, {1, 1, 1, 1});
    put_bins(db, "price", {{"region", "asia"}}, {1, 0, 3, 0});
    put_bins(db, "weight", {{"region", "eu"}}, {1, 1});
    put_bins(db, "weight", {{"region", "us"}}, {2, 0});
    put_joint(db, {{"region", "eu"}}, {{4, 1}, {1, 2}, {1, 1}});
    put_joint(db, {{"region", "us"}}, {{1, 0}, {0, 1}, {1, 7}});
    put_joint(db, {}, {{5, 1}, {1, 3}, {2, 8}});
    return db;
  }

  static void put_categories(storage::Database& db, const std::string& variable,
                             const core::DimensionKey& key, const std::vector<std::uint64_t>& counts,
                             std::uint64_t unknown = 0) {
    storage::literal::CountDelta delta{storage::literal::CountDelta::Categorical{}};
    for (std::size_t i = 0; i < counts.size(); ++i) {
      delta.add(storage::literal::SingleDelta{storage::literal::SingleDelta::Category{i}}, counts[i]);
    }
    if (unknown != 0) delta.add(storage::literal::SingleDelta{storage::literal::SingleDelta::Unknown{}}, unknown);
    storage::literal::increment_distribution(db, variable, key, delta);
    storage::literal::finalize_distribution(db, variable, key, 1);
  }

  static void put_bins(storage::Database& db, const std::string& variable,
                       const core::DimensionKey& key, const std::vector<std::uint64_t>& counts) {
    storage::literal::CountDelta delta{storage::literal::CountDelta::Histogram{}};
    for (std::size_t i = 0; i < counts.size(); ++i) {
      delta.add(storage::literal::SingleDelta{storage::literal::SingleDelta::Bin{i}}, counts[i]);
    }
    storage::literal::increment_distribution(db, variable, key, delta);
    storage::literal::finalize_distribution(db, variable, key, 1);
  }

  static void put_joint(storage::Database& db, const core::DimensionKey& key,
                        const std::vector<std::vector<std::uint64_t>>& cells) {
    db.ensure_joint_distribution("color", "size", key);
    auto* joint = db.get_joint_distribution_mut("color", "size", key);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      for (std::size_t j = 0; j < cells[i].size(); ++j) joint->add_to_cell(i, j, cells[i][j]);
    }
  }

  QueryResult run(const storage::Database& db, std::string_view text) {
    return query(db, engine_, text);
  }

  std::string error_of(const storage::Database& db, std::string_view text) {
    try {
      query(db, engine_, text);
    } catch (const Error& error) {
      return error.full();
    }
    return "no error";
  }

  query::QueryEngine engine_;
  fs::path dir_;
};

// ---- entry and messages ----

TEST_F(Executor, ParseFailuresArePrefixedAndNothingRuns) {
  const auto db = sample();
  EXPECT_EQ(error_of(db, ""), "parse error: empty query");
  EXPECT_EQ(error_of(db, "COMPARE color BETWEEN :eu AND region:us"),
            "parse error: invalid dimension reference: ':eu'");
  EXPECT_EQ(error_of(db, "SHOW color AT region:eu TOP many"),
            "parse error: expected number after TOP");
}

TEST_F(Executor, ExecutorMessagesAndPassedThroughErrors) {
  const auto db = sample();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"COMPARE color ACROSS channel",
       "dimension 'channel' has fewer than 2 values for pairwise comparison"},
      {"COMPARE color ACROSS nowhere",
       "dimension 'nowhere' has fewer than 2 values for pairwise comparison"},
      {"NEAREST region:a/b ON region", "invalid reference segment 'b'"},
      {"SHOW color AT region:mars", "distribution not found"},
      {"SHOW color AT channel:web", "distribution not found"},
      {"COMPARE ghost BETWEEN region:eu AND region:us",
       "distribution not found for variable 'ghost' and dimensions {\"region\": \"eu\"}"},
      {"NEAREST region:eu ON channel", "distribution not found for variable 'price' and "
                                       "dimensions {\"channel\": \"web\"}"},
      {"MI color, price AT region:eu",
       "no joint distribution defined for 'color' and 'price'; call define_joint() first"},
      {"EXPORT MI color, price AT region:eu AS CSV",
       "no joint distribution defined for 'color' and 'price'; call define_joint() first"},
      {"CMI color size GIVEN nowhere", "no values found for dimension 'nowhere'"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(db, text), message) << text;
}

TEST_F(Executor, NearestWithoutAnyVariableInTheSchema) {
  core::Schema schema;
  schema.dimensions = {{"region", "region", std::nullopt}};
  const auto db = open(schema);
  EXPECT_EQ(error_of(db, "NEAREST region:eu ON region"), "no variable in schema");
}

TEST(BuildRefString, AppendsTheWherePairsInOrder) {
  const std::vector<DimRef> where = {{"channel", "web"}, {"time", "2024:01"}};
  EXPECT_EQ(executor::build_ref_string({"region", "eu"}, where),
            "region:eu/channel:web/time:2024:01");
  EXPECT_EQ(executor::build_ref_string({"region", "a/b"}, {}), "region:a/b");
}

// ---- comparisons ----

void compare_rows_oracle(const query::CompareResult& r, Rows& rows) {
  rows = {{"JSD", format("%.6f", r.jsd)},
          {"PSI", format("%.6f", r.psi)},
          {"Hellinger", format("%.6f", r.hellinger)},
          {"KL(A→B)", format("%.6f", r.kl_ab)},
          {"KL(B→A)", format("%.6f", r.kl_ba)},
          {"Entropy(A)", format("%.4f bits", r.entropy_a)},
          {"Entropy(B)", format("%.4f bits", r.entropy_b)},
          {"Samples", format("%llu vs %llu", (unsigned long long)r.total_a,
                             (unsigned long long)r.total_b)},
          {"95% CI", format("[%.4f, %.4f]", r.jsd_ci_low, r.jsd_ci_high)}};
}

TEST_F(Executor, CompareBetweenAddsTheWherePairsToBothSidesAndListsMovers) {
  const auto db = sample();
  const auto result = run(db, "COMPARE color BETWEEN region:eu AND region:us WHERE channel:web");
  const auto expected =
      engine_.compare(db, "region:eu/channel:web", "region:us/channel:web", "color");
  Rows rows;
  compare_rows_oracle(expected, rows);
  rows.push_back({"", ""});
  rows.push_back({"--- Top Movers ---", ""});
  ASSERT_EQ(expected.top_shifts.size(), 3u);
  for (const auto& s : expected.top_shifts) {
    rows.push_back({s.category, format("%+.4f  (%.3f → %.3f)  contrib=%.4f", s.delta, s.p_a,
                                       s.p_b, s.contribution)});
  }
  EXPECT_EQ(result.columns, (Columns{"Metric", "Value"}));
  EXPECT_EQ(result.rows, rows);
  EXPECT_EQ(result.rows[0][1], "1.000000");  // disjoint slices
}

TEST_F(Executor, CompareBetweenHistogramsShowsWassersteinAndNoMovers) {
  const auto db = sample();
  const auto result = run(db, "compare price between region:eu and region:us");
  const auto expected = engine_.compare(db, "region:eu", "region:us", "price");
  ASSERT_TRUE(expected.wasserstein);
  Rows rows;
  compare_rows_oracle(expected, rows);
  rows.push_back({"Wasserstein", format("%.6f", *expected.wasserstein)});
  EXPECT_EQ(result.rows, rows);
}

TEST_F(Executor, CompareAcrossSortsByTheShownJsdWithFailuresAmongTheZeros) {
  const auto db = sample();
  // mars carries only price, so every pair with mars fails for color.
  const auto result = run(db, "COMPARE color ACROSS region");
  EXPECT_EQ(result.columns,
            (Columns{"Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"}));
  auto row_of = [&](const char* a, const char* b) {
    const auto r = engine_.compare(db, format("region:%s", a), format("region:%s", b),
                                   "color");
    return std::vector<std::string>{a, b, format("%.6f", r.jsd), format("%.6f", r.hellinger),
                                    format("%.6f", r.psi), "10 vs 10"};
  };
  const std::vector<std::string> na = {"N/A", "N/A", "N/A", "N/A"};
  auto failed = [&](const char* a, const char* b) {
    std::vector<std::string> row = {a, b};
    row.insert(row.end(), na.begin(), na.end());
    return row;
  };
  // Values in byte order: asia, eu, mars, us. asia and eu are equal (JSD 0), both differ from
  // us by the same amount; pair order decides among equals.
  EXPECT_EQ(result.rows, (Rows{row_of("asia", "us"), row_of("eu", "us"), row_of("asia", "eu"),
                               failed("asia", "mars"), failed("eu", "mars"),
                               failed("mars", "us")}));
  EXPECT_EQ(result.rows[2][2], "0.000000");
}

TEST_F(Executor, CompareAcrossWherePairOnTheDimensionItselfComparesOneSliceWithItself) {
  const auto db = sample();
  const auto result = run(db, "COMPARE color ACROSS region WHERE region:eu");
  ASSERT_EQ(result.rows.size(), 6u);
  for (const auto& row : result.rows) EXPECT_EQ(row[2], "0.000000");
}

TEST_F(Executor, ExplainStartsWithTheTotalAndListsUpToFiveShiftsPerVariable) {
  const auto db = sample();
  const auto result = run(db, "EXPLAIN region:eu VS region:us");
  const auto expected = engine_.explain(db, "region:eu", "region:us");
  Rows rows = {{"TOTAL", format("%.6f", expected.total), "100.0%", "", ""}};
  for (const auto& c : expected.contributions) {
    rows.push_back({c.variable, format("%.6f", c.jsd), format("%.1f%%", c.share * 100.0),
                    format("%.4f", c.entropy_a), format("%.4f", c.entropy_b)});
    for (const auto& s : c.top_shifts) {
      rows.push_back({format("  %s", s.category.c_str()), format("%+.4f", s.delta),
                      format("contrib=%.4f", s.contribution), "", ""});
    }
  }
  EXPECT_EQ(result.columns, (Columns{"Variable", "JSD", "Fraction", "H(A)", "H(B)"}));
  EXPECT_EQ(result.rows, rows);
  EXPECT_EQ(result.rows.size(), 1u + 4u + 3u + 2u);
}

TEST_F(Executor, TrackMarksShiftsAndListsDriftEvents) {
  core::Schema schema;
  schema.variables = {categorical("color", {"red", "blue"})};
  schema.dimensions = {{"time", "date", std::nullopt}, {"region", "region", std::nullopt}};
  auto db = open(schema);
  // Four small equal steps and one large one: only the large one is an event.
  const std::vector<std::vector<std::uint64_t>> counts = {{6, 4}, {5, 5}, {6, 4}, {5, 5},
                                                          {6, 4}, {0, 10}};
  for (std::size_t i = 0; i < counts.size(); ++i) {
    put_categories(db, "color", {{"region", "eu"}, {"time", format("t%zu", i)}}, counts[i]);
  }
  const auto result = run(db, "TRACK color FROM region:eu GRANULARITY weekly");
  const auto expected = engine_.track(db, "region:eu/variable:color", {}, {}, {});
  ASSERT_EQ(expected.drifts.size(), 5u);
  ASSERT_EQ(expected.drift_events.size(), 1u);
  Rows rows;
  for (std::size_t k = 0; k < 6; ++k) {
    const double drift = k < 5 ? expected.drifts[k] : 0.0;
    rows.push_back({format("t%zu", k), format("%.4f", expected.entropies[k]),
                    format("%.4f%s", drift, drift > 0.05 ? " ← shift" : "")});
  }
  rows.push_back({"", "", ""});
  const auto& event = expected.drift_events[0];
  rows.push_back({"t4 → t5", format("JSD=%.4f", event.value), event.message});
  EXPECT_EQ(result.columns, (Columns{"Time", "Entropy", "Drift (JSD)"}));
  EXPECT_EQ(result.rows, rows);
  EXPECT_EQ(result.rows[4][2].find(" ← shift"), 6u);
  EXPECT_EQ(result.rows[5][2], "0.0000");
}

TEST_F(Executor, TrackOfOnePointHasNoDriftAndNoEvents) {
  const auto db = sample();
  EXPECT_EQ(run(db, "TRACK color FROM region:eu").rows, Rows{});
}

TEST_F(Executor, PairwiseShowsADashOnTheDiagonal) {
  const auto db = sample();
  const auto result = run(db, "PAIRWISE region ON price");
  EXPECT_EQ(result.columns, (Columns{"", "asia", "eu", "mars", "us"}));
  const auto expected = engine_.pairwise(db, "region", "price", "jsd");
  ASSERT_EQ(expected.values.size(), 4u);
  Rows rows;
  for (std::size_t i = 0; i < 4; ++i) {
    rows.push_back({expected.values[i]});
    for (std::size_t j = 0; j < 4; ++j) {
      rows.back().push_back(i == j ? "—" : format("%.4f", expected.matrix[i][j]));
    }
  }
  EXPECT_EQ(result.rows, rows);
  const auto empty = run(db, "PAIRWISE nowhere ON price");
  EXPECT_EQ(empty.columns, Columns{""});
  EXPECT_TRUE(empty.rows.empty());
}

TEST_F(Executor, NearestSortsByTheChosenDistanceWithoutTheTarget) {
  const auto db = sample();
  struct Case {
    const char* text;
    const char* title;
    std::size_t limit;
    bool hellinger;
  };
  for (const Case& c : {Case{"NEAREST region:eu ON region", "JSD", 3, false},
                        Case{"NEAREST region:eu ON region USING Hellinger LIMIT 2", "HELLINGER",
                             2, true},
                        // An unknown metric measures JSD under its own upper-cased name.
                        Case{"NEAREST region:eu ON region USING straße", "STRASSE", 3, false},
                        Case{"NEAREST region:eu ON region LIMIT 0", "JSD", 0, false}}) {
    std::vector<std::pair<double, std::string>> expected;
    for (const char* value : {"asia", "mars", "us"}) {
      const auto r = engine_.compare(db, "region:eu", format("region:%s", value), "price");
      expected.emplace_back(c.hellinger ? r.hellinger : r.jsd, value);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    expected.resize(c.limit);
    Rows rows;
    for (const auto& [distance, value] : expected) rows.push_back({value, format("%.6f", distance)});
    const auto result = run(db, c.text);
    EXPECT_EQ(result.columns, (Columns{"region", c.title})) << c.text;
    EXPECT_EQ(result.rows, rows) << c.text;
  }
  EXPECT_EQ(run(db, "NEAREST region:eu ON region").rows[0],
            (std::vector<std::string>{"asia", "0.000000"}));
}

TEST_F(Executor, NearestTakesTheVariableFromTheTargetAndFailsWhole) {
  const auto db = sample();
  // color against each region: mars has no color, so the statement fails with no partial table.
  EXPECT_EQ(error_of(db, "NEAREST variable:color ON region"),
            "distribution not found for variable 'color' and dimensions {\"region\": \"mars\"}");
}

TEST_F(Executor, MoversStopAtTenAndExplainShiftsAtFive) {
  core::Schema schema;
  std::vector<std::string> names;
  for (char c = 'a'; c < 'a' + 12; ++c) names.emplace_back(1, c);
  schema.variables = {categorical("letter", names)};
  schema.dimensions = {{"r", "r", std::nullopt}};
  auto db = open(schema);
  put_categories(db, "letter", {{"r", "x"}}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  put_categories(db, "letter", {{"r", "y"}}, {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1});
  const auto compared = run(db, "COMPARE letter BETWEEN r:x AND r:y");
  ASSERT_EQ(compared.rows.size(), 9u + 2u + 10u);
  EXPECT_EQ(compared.rows[10], (std::vector<std::string>{"--- Top Movers ---", ""}));
  const auto explained = run(db, "EXPLAIN r:x VS r:y");
  EXPECT_EQ(explained.rows.size(), 1u + 1u + 5u);
}

TEST_F(Executor, CountsThatContradictTheirTotalGiveBoundedBars) {
  core::Schema schema;
  schema.variables = {categorical("c", {"a", "b"})};
  schema.dimensions = {{"r", "r", std::nullopt}};
  auto db = open(schema);
  put_categories(db, "c", {{"r", "x"}}, {1, 0});
  put_categories(db, "c", {{"r", "y"}}, {1, 0});
  auto& first = db.distribution_at(db.positions_of_variable("c")[0]);
  first.repr.get_if<core::ReprCategorical>()->counts = {std::uint64_t{1} << 62, 0};
  first.entropy = 1e300;
  db.distribution_at(db.positions_of_variable("c")[1]).entropy = std::nan("");
  const auto shown = run(db, "SHOW c AT r:x");
  EXPECT_EQ(shown.rows[4][1], "4611686018427387904  4611686018427387904.0000  " +
                                  std::string(40, '#'));
  const auto ranked = run(db, "RANK c BY ENTROPY OVER r");
  ASSERT_EQ(ranked.rows.size(), 2u);
  EXPECT_EQ(ranked.rows[0][0], "y");  // NaN sorts above every number
  EXPECT_EQ(ranked.rows[0][3], "");
  EXPECT_EQ(ranked.rows[1][3], std::string(512, '#'));
}

// ---- distributions and information ----

TEST_F(Executor, ShowListsSummaryRowsThenBinsWithBars) {
  const auto db = sample();
  const auto result = run(db, "SHOW price AT region:eu");
  EXPECT_EQ(result.columns, (Columns{"Category/Bin", "Count / Prob"}));
  EXPECT_EQ(result.rows, (Rows{{"Entropy", "0.8113 bits"},
                               {"Samples", "4"},
                               {"Version", "2"},
                               {"", ""},
                               {"[0.00, 0.25)", "     1  0.2500  ##########"},
                               {"[0.25, 0.50)", "     0  0.0000  "},
                               {"[0.50, 0.75)", "     3  0.7500  ##############################"},
                               {"[0.75, 1.00)", "     0  0.0000  "}}));
}

TEST_F(Executor, ShowTopAndBottomOrderStablyByProbability) {
  core::Schema schema;
  schema.variables = {categorical("c", {"a", "b", "c", "d"})};
  schema.dimensions = {{"r", "r", std::nullopt}};
  auto db = open(schema);
  put_categories(db, "c", {{"r", "x"}}, {2, 2, 1, 5});
  put_categories(db, "c", {{"r", "empty"}}, {0, 0, 0, 0});
  put_categories(db, "c", {{"r", "y"}}, {1, 1, 0, 0}, 2);
  auto values = [&](std::string_view text) {
    Rows rows = run(db, text).rows;
    return Rows(rows.begin() + 4, rows.end());
  };
  EXPECT_EQ(values("SHOW c AT r:x TOP 2"),
            (Rows{{"d", "     5  0.5000  ####################"},
                  {"a", "     2  0.2000  ########"}}));
  EXPECT_EQ(values("SHOW c AT r:x BOTTOM 2"),
            (Rows{{"c", "     1  0.1000  ####"}, {"a", "     2  0.2000  ########"}}));
  EXPECT_EQ(values("SHOW c AT r:x TOP 9").size(), 4u);
  EXPECT_EQ(values("SHOW c AT r:x BOTTOM 0").size(), 0u);
  // A WHERE pair on the AT dimension wins.
  EXPECT_EQ(values("SHOW c AT r:nowhere WHERE r:x TOP 1"),
            (Rows{{"d", "     5  0.5000  ####################"}}));
  EXPECT_EQ(values("SHOW c AT r:empty")[0], (std::vector<std::string>{"a", "     0  0.0000  "}));
  // The unknown bucket has no row but counts in the total.
  EXPECT_EQ(values("SHOW c AT r:y")[0],
            (std::vector<std::string>{"a", "     1  0.2500  ##########"}));
}

TEST_F(Executor, RankOrdersByStoredEntropyWithoutSumming) {
  const auto db = sample();
  const auto result = run(db, "RANK color BY ENTROPY OVER region");
  EXPECT_EQ(result.columns, (Columns{"region", "Entropy", "Samples", ""}));
  const auto entropy = [&](const core::DimensionKey& key) {
    return db.find_distribution("color", key)->entropy;
  };
  const double eu = entropy({{"region", "eu"}});
  const double us = entropy({{"region", "us"}});
  const std::string eu_bar(static_cast<std::size_t>(eu * 8.0), '#');
  EXPECT_EQ(result.rows,
            (Rows{{"eu", format("%.4f bits", eu), "10", eu_bar},
                  {"asia", format("%.4f bits", eu), "10", eu_bar},
                  {"us", format("%.4f bits", us), "10",
                   std::string(static_cast<std::size_t>(us * 8.0), '#')},
                  // One category alone: entropy -0.0, below the others, no bar.
                  {"eu", "-0.0000 bits", "4", ""},
                  {"us", "-0.0000 bits", "4", ""}}));
  EXPECT_EQ(run(db, "RANK color BY ENTROPY OVER region WHERE channel:web").rows.size(), 2u);
  EXPECT_TRUE(run(db, "RANK color BY ENTROPY OVER region WHERE channel:app").rows.empty());
  EXPECT_TRUE(run(db, "RANK ghost BY ENTROPY OVER region").rows.empty());
}

TEST_F(Executor, MiAddsTheJointsMeasuresWhenTheKeyIsAPlainKey) {
  const auto db = sample();
  const double mi = engine_.mutual_info(db, "color", "size", "region:us");
  const auto result = run(db, "MI color, size AT region:us");
  EXPECT_EQ(result.columns, (Columns{"Metric", "Value"}));
  ASSERT_EQ(result.rows.size(), 5u);
  EXPECT_EQ(result.rows[0], (std::vector<std::string>{"MI", format("%.4f bits", mi)}));
  EXPECT_EQ(result.rows[1][0], "NMI");
  EXPECT_EQ(result.rows[2][0], "Cramér's V");
  EXPECT_EQ(result.rows[3], (std::vector<std::string>{"Samples", "10"}));
  EXPECT_EQ(result.rows[4],
            (std::vector<std::string>{"Strength", mi > 0.3 ? "strong" : mi > 0.1 ? "moderate" : "weak"}));
  // The engine reads variable:x as a reference naming a variable (the empty key); the joint
  // lookup takes it as a key and finds nothing.
  const auto by_variable = run(db, "MI size color AT variable:x");
  ASSERT_EQ(by_variable.rows.size(), 2u);
  EXPECT_EQ(by_variable.rows[0][0], "MI");
  EXPECT_EQ(by_variable.rows[1][0], "Strength");
}

TEST_F(Executor, CmiHasThreeLeadingRowsThenOneRowPerValue) {
  const auto db = sample();
  const auto expected = engine_.conditional_mutual_info(db, "color", "size", "region", {});
  const auto result = run(db, "CMI color, size GIVEN region");
  EXPECT_EQ(result.columns, (Columns{"region", "MI", "NMI", "Samples"}));
  Rows rows = {{"CMI", format("%.4f bits", expected.cmi), "", ""},
               {"Total samples", "20", "", ""},
               {"", "", "", ""}};
  ASSERT_EQ(expected.per_value.size(), 2u);
  for (const auto& v : expected.per_value) {
    rows.push_back({v.value, format("%.4f", v.mi), format("%.1f%%", v.nmi * 100.0),
                    std::to_string(v.total)});
  }
  EXPECT_EQ(result.rows, rows);
}

TEST_F(Executor, CorrelationsNameTheSliceOrAll) {
  const auto db = sample();
  const auto expected = engine_.discover_correlations(db, std::nullopt, 2);
  const auto result = run(db, "CORRELATIONS LIMIT 2");
  EXPECT_EQ(result.columns, (Columns{"Pair", "Dim", "MI", "NMI", "Cramér's V", "Samples"}));
  Rows rows;
  for (const auto& p : expected.pairs) {
    rows.push_back({"color × size", p.slice ? *p.slice : "all", format("%.4f", p.mi),
                    format("%.1f%%", p.nmi * 100.0), format("%.4f", p.cramers_v),
                    std::to_string(p.total)});
  }
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(result.rows, rows);
  const auto all = run(db, "CORRELATIONS");
  ASSERT_EQ(all.rows.size(), 3u);
  const auto dims = [&] {
    std::vector<std::string> out;
    for (const auto& row : all.rows) out.push_back(row[1]);
    std::sort(out.begin(), out.end());
    return out;
  }();
  EXPECT_EQ(dims, (std::vector<std::string>{"all", "region:eu", "region:us"}));
  const auto over = run(db, "CORRELATIONS OVER region");
  ASSERT_EQ(over.rows.size(), 2u);
  EXPECT_TRUE(over.rows[0][1] == "eu" || over.rows[0][1] == "us");
}

// ---- listings and export ----

TEST_F(Executor, StatsSchemaAndDimensions) {
  const auto db = sample();
  const auto stats = run(db, "STATS");
  EXPECT_EQ(stats.columns, (Columns{"Stat", "Value"}));
  EXPECT_EQ(stats.rows, (Rows{{"Distributions", "14"},
                              {"Total samples", "88"},
                              {"Variables", "4"},
                              {"Dimensions", "3"}}));
  const auto schema = run(db, "SCHEMA");
  EXPECT_EQ(schema.columns, (Columns{"Type", "Name", "Details"}));
  EXPECT_EQ(schema.rows,
            (Rows{{"variable", "price", "continuous  bins=4  range=[0, 1]"},
                  {"variable", "color", "categorical  cats=3  unknown=true"},
                  {"variable", "size", "categorical  cats=2  unknown=true"},
                  {"variable", "weight", "continuous  bins=2  range="},
                  {"dimension", "region", "source=region_col  granularity=none"},
                  {"dimension", "channel", "source=channel  granularity=none"},
                  {"dimension", "time", "source=date  granularity=monthly"},
                  {"joint", "color × size", ""}}));
  const auto dimensions = run(db, "DIMENSIONS");
  EXPECT_EQ(dimensions.columns, (Columns{"Dimension", "Cardinality"}));
  EXPECT_EQ(dimensions.rows, (Rows{{"region", "4 values"},
                                   {"channel", "1 values"},
                                   {"time", "0 values"}}));
  const auto region = run(db, "DIMENSIONS region");
  EXPECT_EQ(region.columns, Columns{"region"});
  EXPECT_EQ(region.rows, (Rows{{"asia"}, {"eu"}, {"mars"}, {"us"}}));
  const auto nowhere = run(db, "DIMENSIONS nowhere");
  EXPECT_EQ(nowhere.columns, Columns{"nowhere"});
  EXPECT_TRUE(nowhere.rows.empty());
}

TEST_F(Executor, ExportWrapsTheInnerTableAsOneCell) {
  const auto db = sample();
  const auto csv = run(db, "EXPORT STATS AS CSV");
  EXPECT_EQ(csv.columns, Columns{"Output"});
  EXPECT_EQ(csv.rows, (Rows{{"Stat,Value\nDistributions,14\nTotal samples,88\nVariables,4\n"
                             "Dimensions,3\n"}}));
  const auto json = run(db, "EXPORT DIMENSIONS region AS json");
  EXPECT_EQ(json.rows, (Rows{{"[\n  {\"region\": \"asia\"},\n  {\"region\": \"eu\"},\n"
                              "  {\"region\": \"mars\"},\n  {\"region\": \"us\"}\n]"}}));
  const auto nested = run(db, "EXPORT EXPORT DIMENSIONS nowhere AS JSON AS CSV");
  EXPECT_EQ(nested.rows, (Rows{{"Output\n\"[\n]\"\n"}}));
}

}  // namespace
}  // namespace quib::sql
