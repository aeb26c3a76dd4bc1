// The executor's own rules on a small database: messages, failed pairs shown as N/A and sorted
// among the zeros, the dash diagonal, metric titles upper-cased, TOP/BOTTOM ties, zero totals,
// the caps on movers and shifts, bars of contradictory counts. Whole tables over realistic data
// are checked end to end against counts tallied from the rows (tests/test_query.py).
#include "sql/executor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ingest/pipeline.h"
#include "query/engine.h"
#include "query_test_db.h"
#include "row_building.h"

namespace quib::sql {
namespace {

using query::testing_db::categorical;
using query::testing_db::continuous;
using Row = std::vector<std::string>;
using Rows = std::vector<Row>;
using Columns = std::vector<std::string>;

std::string format(const char* pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

class Executor : public query::testing_db::QueryDbTest {
 protected:
  // price in 4 bins over [0, 1), color (red, green, blue), size (s, l) with the joint
  // (color, size), weight without a range; dimensions region, channel and time. The region mars
  // carries price alone.
  void sample() {
    core::Schema schema;
    schema.variables = {continuous("price", 4, {{0.0, 1.0}}),
                        categorical("color", {"red", "green", "blue"}),
                        categorical("size", {"s", "l"}), continuous("weight", 2, std::nullopt)};
    schema.dimensions = {{"region", "region_col", std::nullopt},
                         {"channel", "channel", std::nullopt},
                         {"time", "date", std::string("monthly")}};
    schema.joints = {{"color", "size"}};
    recreate_with(schema);
    for (const char* region : {"eu", "us", "asia"}) {
      const bool us = region == std::string("us");
      add("color", {{"region", region}}, us ? Counts{1, 1, 8} : Counts{5, 3, 2});
      add("size", {{"region", region}}, us ? Counts{2, 8} : Counts{6, 4});
      add("price", {{"region", region}}, us ? Counts{0, 2, 1, 1} : Counts{1, 0, 3, 0});
    }
    add("color", {{"region", "eu"}, {"channel", "web"}}, {4, 0, 0});
    add("color", {{"region", "us"}, {"channel", "web"}}, {0, 0, 4});
    add("price", {{"region", "mars"}}, {1, 1, 1, 1});
    add("weight", {{"region", "eu"}}, {1, 1});
    add("weight", {{"region", "us"}}, {2, 0});
    put_joint({{"region", "eu"}}, {{4, 1}, {1, 2}, {1, 1}});
    put_joint({{"region", "us"}}, {{1, 0}, {0, 1}, {1, 7}});
    put_joint({}, {{5, 1}, {1, 3}, {2, 8}});
  }
  using Counts = std::vector<std::uint64_t>;

  void put_joint(const core::DimensionKey& key, const std::vector<Counts>& cells) {
    db().ensure_joint_distribution("color", "size", key);
    auto* joint = db().get_joint_distribution_mut("color", "size", key);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      for (std::size_t j = 0; j < cells[i].size(); ++j) joint->add_to_cell(i, j, cells[i][j]);
    }
  }

  // A variable c over the dimension r with the given categories.
  void letters(std::vector<std::string> names) { db().define_variable(categorical("c", names)); }

  QueryResult run(std::string_view text) { return query(db(), engine_, text); }
  std::string error_of(std::string_view text) {
    return query::testing_db::error_of([&] { run(text); });
  }

  query::QueryEngine engine_;
};

TEST_F(Executor, MessagesOfEveryStagePassThroughWithNoPartialTable) {
  EXPECT_EQ(error_of("NEAREST region:eu ON region"), "no variable in schema");
  sample();
  const std::pair<const char*, const char*> cases[] = {
      {"", "parse error: empty query"},
      {"COMPARE color BETWEEN :eu AND region:us",
       "parse error: invalid dimension reference: ':eu'"},
      {"SHOW color AT region:eu TOP many", "parse error: expected number after TOP"},
      {"COMPARE color ACROSS channel",
       "dimension 'channel' has fewer than 2 values for pairwise comparison"},
      {"COMPARE color ACROSS nowhere",
       "dimension 'nowhere' has fewer than 2 values for pairwise comparison"},
      {"NEAREST region:a/b ON region", "invalid reference segment 'b'"},
      {"SHOW color AT region:mars", "distribution not found"},
      {"SHOW color AT channel:web", "distribution not found"},
      {"COMPARE ghost BETWEEN region:eu AND region:us",
       "distribution not found for variable 'ghost' and dimensions {\"region\": \"eu\"}"},
      {"NEAREST region:eu ON channel",
       "distribution not found for variable 'price' and dimensions {\"channel\": \"web\"}"},
      // color against each region: mars has no color, so the whole statement fails.
      {"NEAREST variable:color ON region",
       "distribution not found for variable 'color' and dimensions {\"region\": \"mars\"}"},
      {"MI color, price AT region:eu",
       "no joint distribution defined for 'color' and 'price'; call define_joint() first"},
      {"EXPORT MI color, price AT region:eu AS CSV",
       "no joint distribution defined for 'color' and 'price'; call define_joint() first"},
      {"CMI color size GIVEN nowhere", "no values found for dimension 'nowhere'"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
}

TEST(BuildRefString, AppendsTheWherePairsInOrder) {
  const std::vector<DimRef> where = {{"channel", "web"}, {"time", "2024:01"}};
  EXPECT_EQ(executor::build_ref_string({"region", "eu"}, where),
            "region:eu/channel:web/time:2024:01");
  EXPECT_EQ(executor::build_ref_string({"region", "a/b"}, {}), "region:a/b");
}

TEST_F(Executor, CompareAcrossSortsByTheShownJsdWithFailuresAmongTheZeros) {
  sample();
  const auto result = run("COMPARE color ACROSS region");
  EXPECT_EQ(result.columns, (Columns{"Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"}));
  auto row = [&](const char* a, const char* b) {
    const auto r = engine_.compare(db(), format("region:%s", a), format("region:%s", b), "color");
    return Row{a, b, format("%.6f", r.jsd), format("%.6f", r.hellinger), format("%.6f", r.psi),
               "10 vs 10"};
  };
  auto failed = [](const char* a, const char* b) { return Row{a, b, "N/A", "N/A", "N/A", "N/A"}; };
  // Values in byte order: asia, eu, mars, us. mars carries no color, asia and eu are equal
  // (JSD 0) and differ from us alike; pair order decides among equals.
  EXPECT_EQ(result.rows,
            (Rows{row("asia", "us"), row("eu", "us"), row("asia", "eu"), failed("asia", "mars"),
                  failed("eu", "mars"), failed("mars", "us")}));
  EXPECT_EQ(result.rows[2][2], "0.000000");
  // A WHERE pair on the dimension itself compares one slice with itself.
  for (const auto& r : run("COMPARE color ACROSS region WHERE region:eu").rows) {
    EXPECT_EQ(r[2], "0.000000");
  }
}

TEST_F(Executor, MoversStopAtTenAndExplainShiftsAtFive) {
  std::vector<std::string> names;
  for (char c = 'a'; c < 'a' + 12; ++c) names.emplace_back(1, c);
  letters(names);
  add("c", {{"r", "x"}}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  add("c", {{"r", "y"}}, {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1});
  const auto compared = run("COMPARE c BETWEEN r:x AND r:y");
  ASSERT_EQ(compared.rows.size(), 9u + 2u + 10u);
  EXPECT_EQ(compared.rows[10], (Row{"--- Top Movers ---", ""}));
  const auto explained = run("EXPLAIN r:x VS r:y");
  ASSERT_EQ(explained.rows.size(), 1u + 1u + 5u);
  const auto shift = engine_.compare(db(), "r:x", "r:y", "c").top_shifts[0];
  EXPECT_EQ(explained.rows[2], (Row{"  " + shift.category, format("%+.4f", shift.delta),
                                    format("contrib=%.4f", shift.contribution), "", ""}));
}

TEST_F(Executor, TrackMarksShiftsAndListsDriftEvents) {
  db().define_variable(categorical("color", {"red", "blue"}));
  // Four small equal steps and one large one: only the large one is an event.
  const std::vector<Counts> counts = {{6, 4}, {5, 5}, {6, 4}, {5, 5}, {6, 4}, {0, 10}};
  for (std::size_t i = 0; i < counts.size(); ++i) {
    add("color", {{"region", "eu"}, {"time", format("t%zu", i)}}, counts[i]);
  }
  const auto rows = run("TRACK color FROM region:eu GRANULARITY weekly").rows;
  const auto expected = engine_.track(db(), "region:eu/variable:color", {}, {}, {});
  ASSERT_EQ(expected.drift_events.size(), 1u);
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[3][2], format("%.4f", expected.drifts[3]));
  EXPECT_EQ(rows[4][2], format("%.4f ← shift", expected.drifts[4]));
  EXPECT_EQ(rows[5][2], "0.0000");
  EXPECT_EQ(rows[6], Row(3, ""));
  EXPECT_EQ(rows[7], (Row{"t4 → t5", format("JSD=%.4f", expected.drift_events[0].value),
                          expected.drift_events[0].message}));
  // No point, no event: not even the blank row.
  EXPECT_EQ(run("TRACK color FROM region:us").rows, Rows{});
}

TEST_F(Executor, PairwiseShowsADashOnTheDiagonalAndNearestLeavesTheTargetOut) {
  sample();
  const auto matrix = run("PAIRWISE region ON price");
  ASSERT_EQ(matrix.rows.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(matrix.rows[i][i + 1], "—");
  const auto empty = run("PAIRWISE nowhere ON price");
  EXPECT_EQ(empty.columns, Columns{""});
  EXPECT_TRUE(empty.rows.empty());

  const auto jsd = [&](const char* value) {
    const auto r = engine_.compare(db(), "region:eu", format("region:%s", value), "price");
    return format("%.6f", r.jsd);
  };
  // asia equals eu, mars is nearer than us; an unknown metric measures JSD under its own
  // upper-cased name.
  const Rows by_jsd = {{"asia", "0.000000"}, {"mars", jsd("mars")}, {"us", jsd("us")}};
  for (const auto& [text, title, rows] :
       {std::tuple{"NEAREST region:eu ON region", "JSD", by_jsd},
        std::tuple{"NEAREST region:eu ON region USING straße", "STRASSE", by_jsd},
        std::tuple{"NEAREST region:eu ON region LIMIT 0", "JSD", Rows{}}}) {
    const auto result = run(text);
    EXPECT_EQ(result.columns, (Columns{"region", title})) << text;
    EXPECT_EQ(result.rows, rows) << text;
  }
}

// Values read from storage are compared as they are, whatever '/' or ':' they hold, as is a
// dimension whose name holds '/'; only typed references are read as reference text.
TEST_F(Executor, StoredValuesHoldingSlashOrColonAreComparedLikeAnyOther) {
  letters({"x", "y", "z"});
  const std::vector<std::string> statuses = {"n/a", "ok", "fail", "w/o", "a:b"};
  for (std::uint64_t i = 0; i < statuses.size(); ++i) {
    add("c", {{"status", statuses[i]}}, {i + 1, 2 * i + 1, 5 - i});
    add("c", {{"kind/sub", statuses[i]}}, {i + 1, 2 * i + 1, 5 - i});
  }
  add("c", {{"status", "n/a"}, {"channel", "web"}}, {3, 0, 1});
  add("c", {{"status", "w/o"}, {"channel", "web"}}, {0, 2, 2});
  const auto pairwise = engine_.pairwise(db(), "status", "c", "jsd");
  const auto jsd = [&](std::string_view a, std::string_view b) {
    const auto at = [&](std::string_view v) {
      return std::find(pairwise.values.begin(), pairwise.values.end(), v) -
             pairwise.values.begin();
    };
    return format("%.6f", pairwise.matrix[at(a)][at(b)]);
  };
  for (const std::string dimension : {"status", "kind/sub"}) {
    const auto across = run("COMPARE c ACROSS " + dimension).rows;
    ASSERT_EQ(across.size(), 10u) << dimension;
    for (const auto& row : across) EXPECT_EQ(row[2], jsd(row[0], row[1])) << dimension;
    const auto nearest = run("NEAREST status:ok ON " + dimension + " LIMIT 9").rows;
    ASSERT_EQ(nearest.size(), 4u) << dimension;
    for (const auto& row : nearest) EXPECT_EQ(row[1], jsd("ok", row[0])) << dimension;
  }
  // WHERE pairs still narrow both sides: only n/a and w/o have a web slice.
  for (const auto& row : run("COMPARE c ACROSS status WHERE channel:web").rows) {
    const bool web = row[0] == "n/a" && row[1] == "w/o";
    EXPECT_EQ(row[5], web ? "4 vs 4" : "N/A") << row[0] << " " << row[1];
  }
}

// A held result keeps about the bytes of its text, not a string object per cell.
TEST_F(Executor, AHeldResultTakesAtMostThreeTimesItsCsvText) {
  letters({"x", "y", "z"});
  db().define_dimension({"r", "r", std::nullopt});
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t n = static_cast<std::uint64_t>(i);
    add("c", {{"r", "v" + std::to_string(i)}}, {1 + n % 7, 1 + n % 5, 1 + n % 3});
  }
  for (const char* text : {"PAIRWISE r ON c", "COMPARE c ACROSS r", "RANK c BY ENTROPY OVER r"}) {
    const QueryResult result = run(text);
    ASSERT_GT(result.rows.size(), 250u) << text;
    EXPECT_LE(result.rows.capacity_bytes(), 3 * result.to_csv().size()) << text;
  }
}

TEST_F(Executor, CountsThatContradictTheirTotalGiveBoundedBars) {
  letters({"a", "b"});
  add("c", {{"r", "x"}}, {1, 0});
  add("c", {{"r", "y"}}, {1, 0});
  auto& first = db().distribution_at(db().positions_of_variable("c")[0]);
  first.repr.get_if<core::ReprCategorical>()->counts = {std::uint64_t{1} << 62, 0};
  first.entropy = 1e300;
  db().distribution_at(db().positions_of_variable("c")[1]).entropy = std::nan("");
  EXPECT_EQ(run("SHOW c AT r:x").rows[4][1],
            "4611686018427387904  4611686018427387904.0000  " + std::string(40, '#'));
  const auto ranked = run("RANK c BY ENTROPY OVER r");
  ASSERT_EQ(ranked.rows.size(), 2u);
  EXPECT_EQ(ranked.rows[0][0], "y");  // NaN sorts above every number
  EXPECT_EQ(ranked.rows[0][3], "");
  EXPECT_EQ(ranked.rows[1][3], std::string(512, '#'));
}

TEST_F(Executor, ShowTopAndBottomOrderStablyByProbability) {
  letters({"a", "b", "c", "d"});
  add("c", {{"r", "x"}}, {2, 2, 1, 5});
  add("c", {{"r", "empty"}}, {0, 0, 0, 0});
  add("c", {{"r", "y"}}, {1, 1, 0, 0}, 2);
  EXPECT_EQ(run("SHOW c AT r:x").rows[2], (Row{"Version", "2"}));
  auto values = [&](std::string_view text) {
    Rows rows = run(text).rows;
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
  EXPECT_EQ(values("SHOW c AT r:empty")[0], (Row{"a", "     0  0.0000  "}));
  // The unknown bucket has no row but counts in the total.
  EXPECT_EQ(values("SHOW c AT r:y")[0], (Row{"a", "     1  0.2500  ##########"}));
}

// The kept rows are those of the whole table, in the order of a stable sort of the counts.
TEST_F(Executor, ShowTopAndBottomKeepTheStableOrderOfTheCounts) {
  letters({"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"});
  db().define_variable(continuous("h", 12, {{0.0, 1.0}}));
  const Counts counts = {3, 1, 3, 0, 2, 1, 3, 0, 2, 2, 1, 0};
  add("c", {{"r", "x"}}, counts);
  add("h", {{"r", "x"}}, counts);
  std::vector<std::size_t> greatest_first(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) greatest_first[i] = i;
  std::vector<std::size_t> smallest_first = greatest_first;
  std::stable_sort(greatest_first.begin(), greatest_first.end(),
                   [&](std::size_t x, std::size_t y) { return counts[x] > counts[y]; });
  std::stable_sort(smallest_first.begin(), smallest_first.end(),
                   [&](std::size_t x, std::size_t y) { return counts[x] < counts[y]; });
  for (const char* variable : {"c", "h"}) {
    const Rows all = run(std::string("SHOW ") + variable + " AT r:x").rows;
    ASSERT_EQ(all.size(), 4 + counts.size());
    for (const std::uint64_t n : {0ull, 1ull, 2ull, 3ull, 4ull, 7ull, 11ull, 12ull, 13ull,
                                  18446744073709551615ull}) {
      for (const auto& [word, order] : {std::pair{"TOP", &greatest_first},
                                        std::pair{"BOTTOM", &smallest_first}}) {
        const std::string text =
            std::string("SHOW ") + variable + " AT r:x " + word + " " + std::to_string(n);
        Rows expected(all.begin(), all.begin() + 4);
        for (std::size_t k = 0; k < std::min<std::uint64_t>(n, counts.size()); ++k) {
          expected.push_back(all[4 + (*order)[k]]);
        }
        EXPECT_EQ(run(text).rows, expected) << text;
      }
    }
  }
}

TEST_F(Executor, SumsOfHugeCountsStopAtTheTopOfU64) {
  core::Schema schema;
  schema.variables = {categorical("color", {"red", "green"}), categorical("size", {"s", "l"})};
  schema.dimensions = {{"region", "region", std::nullopt}, {"channel", "channel", std::nullopt}};
  schema.joints = {{"color", "size"}};
  recreate_with(schema);
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  add("color", {{"region", "eu"}, {"channel", "web"}}, {kHalf, 1});
  add("color", {{"region", "eu"}, {"channel", "shop"}}, {kHalf, 0});
  add("color", {{"region", "us"}}, {1, 1});
  put_joint({{"region", "eu"}}, {{kHalf, 1}, {0, 0}});
  put_joint({{"region", "us"}}, {{kHalf, 0}, {0, 1}});
  const std::string top = "18446744073709551615";
  const std::tuple<const char*, std::size_t, Row> cases[] = {
      {"STATS", 1, {"Total samples", top}},
      {"CMI color size GIVEN region", 1, {"Total samples", top, "", ""}},
      // region:eu is the roll-up of both channels.
      {"COMPARE color BETWEEN region:eu AND region:us", 7, {"Samples", top + " vs 2"}},
  };
  for (const auto& [text, index, row] : cases) {
    const Rows rows = run(text).rows;
    ASSERT_GT(rows.size(), index) << text;
    EXPECT_EQ(rows[index], row) << text;
  }
}

// Ingested rows added to stored counts stop at the top too: cells, totals, joint cells.
TEST_F(Executor, IngestedCountsStopAtTheTopOfU64) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    Counts stored;    // color red and green under region:eu, and the joint's cells (red|green, s)
    Counts ingested;  // rows of red and of green, all of size s
    Counts cells;     // color's cells afterwards
    std::uint64_t samples;
  };
  const Case cases[] = {{{5, 1}, {2, 1}, {7, 2}, 9},
                        {{kTop - 1, 0}, {2, 0}, {kTop, 0}, kTop},
                        {{kTop, 0}, {3, 2}, {kTop, 2}, kTop},
                        {{kTop - 2, 1}, {0, 2}, {kTop - 2, 3}, kTop}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored[0]);
    core::Schema schema;
    schema.variables = {categorical("color", {"red", "green"}), categorical("size", {"s", "l"})};
    schema.dimensions = {{"region", "region", std::nullopt}};
    schema.joints = {{"color", "size"}};
    recreate_with(schema);
    add("color", {{"region", "eu"}}, c.stored);
    put_joint({{"region", "eu"}}, {{c.stored[0], 0}, {c.stored[1], 0}});
    ingest::RowTable rows;
    for (std::size_t color = 0; color < 2; ++color) {
      const std::pair<std::string, core::json::Value> row[] = {
          {"region", "eu"}, {"color", color == 0 ? "red" : "green"}, {"size", "s"}};
      for (std::uint64_t n = 0; n < c.ingested[color]; ++n) ingest::add_row(rows, row);
    }
    ingest::IngestionPipeline::ingest_records(db(), std::move(rows));
    const auto* color = db().find_distribution("color", {{"region", "eu"}});
    EXPECT_EQ(color->repr.get_if<core::ReprCategorical>()->counts, c.cells);
    for (const char* text : {"SHOW color AT region:eu", "MI color size AT region:eu"}) {
      const Rows rows = query(db(), query::QueryEngine(), text).rows;
      EXPECT_NE(std::find(rows.begin(), rows.end(), Row{"Samples", std::to_string(c.samples)}),
                rows.end())
          << text;
    }
  }
}

TEST_F(Executor, RankOrdersByStoredEntropyWithoutSumming) {
  sample();
  const auto entropy = [&](const char* region) {
    const double h = db().find_distribution("color", {{"region", region}})->entropy;
    return Row{region, format("%.4f bits", h), "10",
               std::string(static_cast<std::size_t>(h * 8), '#')};
  };
  // Equal entropies keep storage order; one category alone has entropy -0.0 and no bar.
  EXPECT_EQ(run("RANK color BY ENTROPY OVER region").rows,
            (Rows{entropy("eu"), entropy("asia"), entropy("us"), {"eu", "-0.0000 bits", "4", ""},
                  {"us", "-0.0000 bits", "4", ""}}));
  EXPECT_EQ(run("RANK color BY ENTROPY OVER region WHERE channel:web").rows.size(), 2u);
  EXPECT_TRUE(run("RANK color BY ENTROPY OVER region WHERE channel:app").rows.empty());
  EXPECT_TRUE(run("RANK ghost BY ENTROPY OVER region").rows.empty());
}

TEST_F(Executor, InformationStatementsOnKeysThatAreNotPlainSlices) {
  sample();
  // The engine reads variable:x as a reference naming a variable (the empty key); the joint
  // lookup takes it as a key and finds nothing, so only MI and its strength are shown.
  const auto by_variable = run("MI size color AT variable:x");
  ASSERT_EQ(by_variable.rows.size(), 2u);
  EXPECT_EQ(by_variable.rows[0][0], "MI");
  EXPECT_EQ(by_variable.rows[1][0], "Strength");
  // The joint under the empty key is the slice "all".
  Row slices;
  for (const auto& row : run("CORRELATIONS").rows) slices.emplace_back(row[1]);
  std::sort(slices.begin(), slices.end());
  EXPECT_EQ(slices, (Row{"all", "region:eu", "region:us"}));
}

TEST_F(Executor, ListingsAndExport) {
  sample();
  EXPECT_EQ(run("SCHEMA").rows,
            (Rows{{"variable", "price", "continuous  bins=4  range=[0, 1]"},
                  {"variable", "color", "categorical  cats=3  unknown=true"},
                  {"variable", "size", "categorical  cats=2  unknown=true"},
                  {"variable", "weight", "continuous  bins=2  range="},
                  {"dimension", "region", "source=region_col  granularity=none"},
                  {"dimension", "channel", "source=channel  granularity=none"},
                  {"dimension", "time", "source=date  granularity=monthly"},
                  {"joint", "color × size", ""}}));
  EXPECT_EQ(run("DIMENSIONS").rows,
            (Rows{{"region", "4 values"}, {"channel", "1 values"}, {"time", "0 values"}}));
  EXPECT_EQ(run("EXPORT DIMENSIONS region AS json").rows,
            (Rows{{"[\n  {\"region\": \"asia\"},\n  {\"region\": \"eu\"},\n"
                   "  {\"region\": \"mars\"},\n  {\"region\": \"us\"}\n]"}}));
  EXPECT_EQ(run("EXPORT EXPORT DIMENSIONS nowhere AS JSON AS CSV").rows,
            (Rows{{"Output\n\"[\n]\"\n"}}));
}

}  // namespace
}  // namespace quib::sql
