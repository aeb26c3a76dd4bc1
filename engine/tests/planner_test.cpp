// Resolution of (variable, dimensions): exact hits, roll-ups in storage order, the refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <string>
#include <vector>

#include "query/planner.h"
#include "query_test_db.h"
#include "resolution_oracle.h"
#include "store_lookups.h"

namespace quib::query {
namespace {

using testing_db::categorical;
using testing_db::continuous;
using testing_db::error_of;
using Histogram = core::DistributionRepr::Histogram;
using Categorical = core::DistributionRepr::Categorical;

class Resolve : public testing_db::QueryDbTest {
 protected:
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(categorical("color", {"red", "green", "blue"}));
    db().define_variable(continuous("size", 10, {{0.0, 10.0}}));
    db().define_variable(categorical("colors", {"x"}));
  }
};

TEST_F(Resolve, ExactHitIsStoredAsIsButARollUpOfOneRecounts) {
  add("color", {{"region", "EU"}}, {3, 1, 0});
  add("color", {{"region", "EU"}, {"year", "2024"}}, {2, 2, 0});
  // Counted but not yet finalised: the stored sample count and entropy lag behind.
  storage::literal::CountDelta more{storage::literal::CountDelta::Categorical{}};
  more.add({storage::literal::SingleDelta::Category{2}}, 4);
  storage::literal::increment_distribution(db(), "color", {{"region", "EU"}}, more);
  storage::literal::increment_distribution(db(), "color", {{"region", "EU"}, {"year", "2024"}},
                                           more);

  const auto* stored = db().find_distribution("color", {{"region", "EU"}});
  const core::DistributionObject resolved = resolve_distribution(db(), "color", {{"region", "EU"}});
  EXPECT_EQ(resolved, *stored);
  EXPECT_EQ(resolved.sample_count, 4u);
  EXPECT_EQ(stored->repr.total_count(), 8u);
  const core::DistributionObject r = resolve_distribution(db(), "color", {{"year", "2024"}});
  EXPECT_EQ(r.sample_count, 8u);
  EXPECT_DOUBLE_EQ(r.entropy, 1.5);
}

TEST_F(Resolve, RollUpSumsMatchingKeysInStorageOrder) {
  const auto first = add("color", {{"region", "EU"}, {"year", "2023"}}, {1, 0, 2}, 1);
  add("color", {{"region", "US"}, {"year", "2023"}}, {50, 50, 50});
  add("color", {{"region", "EU"}, {"year", "2024"}, {"shop", "a"}}, {0, 4, 0}, 2);
  add("colors", {{"region", "EU"}}, {7});
  add("color", {{"year", "2024"}}, {9, 9, 9});

  const auto* stored_first = distribution_by_id(db(), first);
  const core::DistributionObject r = resolve_distribution(db(), "color", {{"region", "EU"}});
  const auto& counts = *r.repr.get_if<Categorical>();
  EXPECT_EQ(counts.counts, (std::vector<std::uint64_t>{1, 4, 2}));
  EXPECT_EQ(counts.unknown_count, 3u);
  EXPECT_EQ(counts.total_count, 10u);
  EXPECT_EQ(counts.categories, (std::vector<std::string>{"red", "green", "blue"}));
  EXPECT_EQ(r.sample_count, 10u);
  EXPECT_NEAR(r.entropy, 1.32534966642, 1e-11);  // shares 0.1, 0.4 and 0.2 of 10
  // The roll-up carries its first member's identity.
  EXPECT_EQ(r.id, first);
  EXPECT_EQ(r.version, stored_first->version);
  EXPECT_EQ(r.dimension_key, stored_first->dimension_key);
  EXPECT_EQ(r.last_updated, stored_first->last_updated);
}

// Members come from lists per pair; the oracle walks every distribution instead. Keys are made
// so that the shortest list is sometimes a later pair's and lists interleave in storage order.
TEST_F(Resolve, RollUpMembersAreEveryHolderOfAllPairsInStorageOrder) {
  const std::vector<std::string> regions = {"EU", "US", "asia"};
  for (int i = 0; i < 60; ++i) {
    core::DimensionKey key{{"region", regions[i % 3]}, {"year", std::to_string(2020 + i % 4)}};
    if (i % 5 == 0) key.emplace("shop", i % 2 == 0 ? "a" : "b");
    if (i % 7 == 3) key.erase("region");
    add(i % 11 == 0 ? "colors" : "color", key, {static_cast<std::uint64_t>(i)});
  }
  const std::vector<DimensionMap> maps = {
      {{"region", "EU"}},
      {{"year", "2021"}},
      {{"shop", "a"}, {"year", "2020"}},
      {{"region", "US"}, {"shop", "a"}, {"year", "2020"}},
      {{"region", "asia"}, {"year", "2023"}},
      {{"region", "EU"}, {"shop", "b"}},
      {},
  };
  for (const char* variable : {"color", "colors"}) {
    for (const DimensionMap& map : maps) {
      SCOPED_TRACE(testing::Message() << variable << " map " << (&map - maps.data()));
      std::vector<const core::DistributionObject*> expected;
      for (const auto& distribution : db().distributions()) {
        const bool holds = std::all_of(map.begin(), map.end(), [&](const auto& pair) {
          const auto found = distribution.dimension_key.find(pair.first);
          return found != distribution.dimension_key.end() && found->second == pair.second;
        });
        if (distribution.variable == variable && holds) expected.push_back(&distribution);
      }
      if (expected.empty()) {
        EXPECT_NE(error_of([&] { rolled_up_members(db(), variable, map); }), "<no error>");
      } else {
        EXPECT_EQ(rolled_up_members(db(), variable, map).members, expected);
      }
    }
  }
  EXPECT_EQ(error_of([&] { rolled_up_members(db(), "color", {{"shop", "a"}, {"year", "2021"}}); }),
            "distribution not found for variable 'color' and dimensions "
            "{\"shop\": \"a\", \"year\": \"2021\"}");
}

TEST_F(Resolve, RollUpOfHistogramsAddsTheSharedBinsAndWholeTotals) {
  add("size", {{"shop", "a"}}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  // A stored histogram of 8 bins over another range, as an older schema could have left it.
  const auto position = db().ensure_distribution_position("size", {{"shop", "b"}});
  db().distribution_at(position).repr = {Histogram{5.0, 20.0, {2, 2, 2, 2, 2, 2, 2, 2}, 19}};

  const core::DistributionObject r = resolve_distribution(db(), "size", {});
  const auto& h = *r.repr.get_if<Histogram>();
  EXPECT_EQ(h.bin_counts, (std::vector<std::uint64_t>{3, 3, 3, 3, 3, 3, 3, 3, 1, 1}));
  EXPECT_EQ(h.total_count, 29u);
  EXPECT_EQ(h.min, 0.0);
  EXPECT_EQ(h.max, 10.0);
  EXPECT_EQ(r.sample_count, 29u);
}

TEST_F(Resolve, EmptyMapPrefersTheEmptyKey) {
  add("color", {{"region", "EU"}}, {1, 0, 0});
  add("color", {{"region", "US"}}, {0, 1, 0});
  EXPECT_EQ(resolve_distribution(db(), "color", {}).repr.get_if<Categorical>()->counts,
            (std::vector<std::uint64_t>{1, 1, 0}));
  const auto empty_id = add("color", {}, {0, 0, 5});
  const auto r = resolve_distribution(db(), "color", {});
  EXPECT_EQ(r.id, empty_id);
  EXPECT_EQ(r.repr.get_if<Categorical>()->counts, (std::vector<std::uint64_t>{0, 0, 5}));
}

TEST_F(Resolve, OnlyAZeroTotalKeepsPositiveZeroEntropy) {
  db().ensure_distribution("color", {{"region", "EU"}});
  add("color", {{"region", "US"}}, {0, 0, 0}, 3);
  EXPECT_FALSE(std::signbit(resolve_distribution(db(), "color", {{"region", "EU"}}).entropy));
  const double unknown_only = resolve_distribution(db(), "color", {}).entropy;
  EXPECT_EQ(unknown_only, 0.0);
  EXPECT_TRUE(std::signbit(unknown_only));
}

TEST_F(Resolve, KeySharingAnotherKeysTextIsNeverAnExactHit) {
  // {a: "b/c:d"} and {a: "b", c: "d"} share the canonical text "a:b/c:d".
  add("color", {{"a", "b/c:d"}}, {1, 0, 0});
  EXPECT_EQ(error_of([&] { resolve_distribution(db(), "color", {{"a", "b"}, {"c", "d"}}); }),
            "distribution not found for variable 'color' and dimensions {\"a\": \"b\", \"c\": "
            "\"d\"}");
  add("color", {{"a", "b"}, {"c", "d"}, {"e", "f"}}, {0, 2, 0});
  EXPECT_EQ(resolve_distribution(db(), "color", {{"a", "b"}, {"c", "d"}})
                .repr.get_if<Categorical>()
                ->counts,
            (std::vector<std::uint64_t>{0, 2, 0}));
}

TEST_F(Resolve, NotFoundNamesTheVariableAndTheMap) {
  add("color", {{"region", "EU"}}, {1, 0, 0});
  const std::tuple<std::string, DimensionMap, std::string> cases[] = {
      {"size", {}, "'size' and dimensions {}"},
      {"nothing", {}, "'nothing' and dimensions {}"},
      {"color", {{"region", "US"}}, "'color' and dimensions {\"region\": \"US\"}"},
      {"color",
       {{"region", "EU"}, {"q\"\\", "\t\x01\n\xC2\x85\xC3\xA9"}},
       "'color' and dimensions {\"q\\\"\\\\\": \"\\t\\u{1}\\n\\u{85}\xC3\xA9\", "
       "\"region\": \"EU\"}"},
  };
  for (const auto& [variable, dimensions, message] : cases) {
    EXPECT_EQ(error_of([&] { resolve_distribution(db(), variable, dimensions); }),
              "distribution not found for variable " + message);
  }
}

TEST_F(Resolve, DistributionsForVariableMatchTheWholeNameInStorageOrder) {
  const auto a = add("color", {{"k", "2"}}, {1, 0, 0});
  add("colors", {{"k", "1"}}, {1});
  const auto b = add("color", {{"k", "1"}}, {1, 0, 0});
  std::vector<std::uint64_t> ids;
  for (const auto* d : distributions_for_variable(db(), "color")) ids.push_back(d->id);
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{a, b}));
  EXPECT_TRUE(distributions_for_variable(db(), "colo").empty());
}

}  // namespace
}  // namespace quib::query
