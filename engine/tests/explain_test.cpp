// Explain and pairwise: the ranking and shares of an explanation, what fails it, and the
// distance matrix of pairwise under each metric text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query/cache.h"
#include "query/engine.h"
#include "query_oracles.h"
#include "query_test_db.h"

namespace quib::query {
namespace {

using oracle::Counts;
using oracle::jsd_bits;

class ExplainTest : public testing_db::QueryDbTest {
 protected:
  // Schema order size, shape, color, hue. Between regions a and b, color and hue differ equally
  // and most, shape a little, size not at all; only size and color reach region c.
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(testing_db::continuous("size", 4, {{0.0, 8.0}}));
    db().define_variable(testing_db::categorical("shape", {"round", "square"}));
    for (const char* name : {"color", "hue"}) {
      db().define_variable(testing_db::categorical(name, {"red", "green", "blue"}));
    }
    for (std::size_t r = 0; r < 3; ++r) {
      add("size", {{"region", kRegions[r]}}, kSizes[r]);
      add("color", {{"region", kRegions[r]}}, kColors[r]);
      if (r == 2) break;
      add("hue", {{"region", kRegions[r]}}, kColors[r]);
      add("shape", {{"region", kRegions[r]}}, kShapes[r]);
    }
  }

  std::vector<std::string> ranked(const ExplainResult& result) {
    std::vector<std::string> names;
    for (const auto& contribution : result.contributions) names.push_back(contribution.variable);
    return names;
  }

  const std::vector<std::string> kRegions{"a", "b", "c"};
  const std::vector<Counts> kSizes{{5, 5, 5, 5}, {5, 5, 5, 5}, {10, 10, 0, 0}};  // bins 2 wide
  const std::vector<Counts> kColors{{50, 25, 25}, {25, 25, 50}, {1, 0, 3}};
  const std::vector<Counts> kShapes{{50, 50}, {45, 55}};
  QueryEngine engine_;
};

TEST_F(ExplainTest, RanksByJsdWithTiesInSchemaOrderAndSharesOfTheTotal) {
  const ExplainResult first = engine_.explain(db(), "region:a/variable:x", "region:b");
  const ExplainResult result = engine_.explain(db(), "region:a", "region:b");
  EXPECT_EQ(result.contributions, first.contributions);
  EXPECT_EQ(engine_.cache().size(), 4u);  // one compare per variable, repeated from the cache
  ASSERT_EQ(ranked(result), (std::vector<std::string>{"color", "hue", "shape", "size"}));

  const double color = jsd_bits(kColors[0], kColors[1]);
  const double expected_jsd[] = {color, color, jsd_bits(kShapes[0], kShapes[1]), 0.0};
  const double total = expected_jsd[0] + expected_jsd[1] + expected_jsd[2];
  EXPECT_NEAR(result.total, total, 1e-12);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(result.contributions[i].jsd, expected_jsd[i], 1e-12) << i;
    EXPECT_NEAR(result.contributions[i].share, expected_jsd[i] / total, 1e-12) << i;
  }
  // The compare's shifts, in its order: |delta| 0.25 for blue and red (by name), then green.
  const auto& shifts = result.contributions[0].top_shifts;
  ASSERT_EQ(shifts.size(), 3u);
  EXPECT_EQ(shifts[0].category + shifts[1].category + shifts[2].category, "blueredgreen");
  EXPECT_NEAR(result.contributions[0].entropy_b, oracle::entropy_bits(kColors[1]), 1e-12);
}

TEST_F(ExplainTest, IdenticalSlicesGiveZerosAndAMissingSliceFailsTheWhole) {
  const ExplainResult same = engine_.explain(db(), "region:a", "region:a");
  EXPECT_EQ(ranked(same), (std::vector<std::string>{"size", "shape", "color", "hue"}));
  EXPECT_EQ(same.total, 0.0);
  for (const auto& contribution : same.contributions) {
    EXPECT_EQ(contribution.jsd, 0.0);
    EXPECT_EQ(contribution.share, 0.0);
  }
  EXPECT_EQ(testing_db::error_of([&] { engine_.explain(db(), "region:a", "region:c"); }),
            "distribution not found for variable 'shape' and dimensions {\"region\": \"c\"}");
}

TEST_F(ExplainTest, PairwiseFillsTheUpperTriangleOnceAndMirrorsIt) {
  // Cumulative shares of a and c differ by 0.5 over two bins, as do those of b and c.
  const std::vector<std::vector<double>> wasserstein{{0, 0, 2}, {0, 0, 2}, {2, 2, 0}};
  struct Case {
    const char* variable;
    const char* metric;
    bool wasserstein;
  };
  for (const Case& c : {Case{"size", "wasserstein", true}, Case{"size", "WaSsErStEiN", true},
                        Case{"size", "jsd", false}, Case{"size", "wasserstein ", false},
                        Case{"size", "wasserstei", false}, Case{"color", "WASSERSTEIN", false}}) {
    SCOPED_TRACE(::testing::Message() << c.variable << " " << c.metric);
    QueryEngine engine;
    const PairwiseResult result = engine.pairwise(db(), "region", c.variable, c.metric);
    EXPECT_EQ(engine.cache().size(), 3u);
    ASSERT_EQ(result.values, kRegions);
    const auto& counts = std::string(c.variable) == "size" ? kSizes : kColors;
    for (std::size_t i = 0; i < 3; ++i) {
      ASSERT_EQ(result.matrix[i].size(), 3u);
      for (std::size_t j = 0; j < 3; ++j) {
        const double expected = i == j          ? 0.0
                                : c.wasserstein ? wasserstein[i][j]
                                                : jsd_bits(counts[i], counts[j]);
        EXPECT_NEAR(result.matrix[i][j], expected, 1e-12) << i << "," << j;
        EXPECT_EQ(result.matrix[i][j], result.matrix[j][i]);
      }
    }
  }
  EXPECT_TRUE(engine_.pairwise(db(), "channel", "size", "jsd").matrix.empty());
  add("color", {{"store", "only"}}, {1, 1, 1});  // size has no distribution there: no compare
  EXPECT_EQ(engine_.pairwise(db(), "store", "size", "jsd").matrix,
            (std::vector<std::vector<double>>{{0.0}}));
}

}  // namespace
}  // namespace quib::query
