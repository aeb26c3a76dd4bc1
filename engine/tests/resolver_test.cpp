// A statement's shared resolution answers as resolving afresh every time: for exact hits,
// roll-ups (one by one or summed in one walk), keys sharing a text and sides that fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "math/rebin.h"
#include "query/cache.h"
#include "query/compare.h"
#include "query/planner.h"
#include "query/resolver.h"
#include "query_test_db.h"
#include "resolution_oracle.h"

namespace quib::query {
namespace {

using testing_db::categorical;
using testing_db::continuous;
using testing_db::error_of;

class SharedResolution : public testing_db::QueryDbTest {
 protected:
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(categorical("color", {"red", "green", "blue"}));
    db().define_variable(continuous("size", 4, std::make_pair(0.0, 8.0)));
    add("color", {{"region", "eu"}, {"year", "2023"}}, {1, 0, 2}, 1);
    add("color", {{"region", "us"}, {"year", "2023"}}, {5, 5, 5});
    add("color", {{"region", "eu"}, {"year", "2024"}, {"shop", "a"}}, {0, 4, 0});
    add("color", {{"region", "eu"}}, {7, 0, 0});
    // Two keys with one canonical text ("a:b/c:d"): each resolves to its own counts.
    add("color", {{"a", "b/c:d"}}, {0, 0, 9});
    add("color", {{"a", "b"}, {"c", "d"}}, {3, 3, 0});
    add("size", {{"region", "eu"}, {"year", "2023"}}, {1, 2, 3, 4});
    add("size", {{"region", "us"}, {"year", "2024"}}, {4, 0, 0, 1});
    add("size", {{"region", "eu"}, {"year", "2024"}}, {0, 0, 2, 2});
  }

  // The side that `sides` gives equals resolving afresh, or fails with the same message.
  void expect_as_fresh(SideResolver& sides, const char* variable, const DimensionMap& map) {
    const std::string fresh_error = error_of([&] { resolve_distribution(db(), variable, map); });
    if (fresh_error != "<no error>") {
      EXPECT_EQ(error_of([&] { sides.resolve(variable, map); }), fresh_error);
      return;
    }
    const core::DistributionObject fresh = resolve_distribution(db(), variable, map);
    const ResolvedSide& side = sides.resolve(variable, map);
    const ResolvedMembers members = resolve_members(db(), variable, map);
    EXPECT_EQ(side.resolved().members, members.members);
    EXPECT_EQ(side.resolved().exact, members.exact);
    EXPECT_EQ(side.counts(), fresh.repr);
    EXPECT_EQ(side.sample_count(), fresh.sample_count);
    EXPECT_EQ(side.entropy(), fresh.entropy);
    EXPECT_EQ(side.first().id, fresh.id);
    EXPECT_EQ(side.first().version, fresh.version);
  }
};

const std::vector<DimensionMap> kSides = {
    {},
    {{"region", "eu"}},
    {{"region", "us"}},
    {{"year", "2023"}},
    {{"region", "eu"}, {"year", "2024"}},
    {{"region", "eu"}, {"shop", "a"}},
    {{"a", "b/c:d"}},
    {{"a", "b"}},
    {{"a", "b"}, {"c", "d"}},
    {{"region", "asia"}},
    {{"planet", "mars"}},
    {{"region", "eu"}, {"year", "2022"}},
};

TEST_F(SharedResolution, EverySideAsResolvedAfresh) {
  SideResolver sides(db());
  // Several rounds, so that later rounds answer from the kept sides.
  for (int round = 0; round < 3; ++round) {
    for (const char* variable : {"color", "size", "shape"}) {
      for (const DimensionMap& map : kSides) {
        SCOPED_TRACE(testing::Message() << variable << " side " << (&map - kSides.data())
                                        << " round " << round);
        expect_as_fresh(sides, variable, map);
      }
    }
  }
}

// Asking for many values of one dimension makes the resolver sum them all in one walk; each side
// must still equal resolving it afresh, whatever the value: a roll-up of many members, of one,
// an exact hit, a value asked for before the walk or missing.
TEST_F(SharedResolution, SidesSummedInOneWalkEqualFreshOnes) {
  const std::vector<std::string> shops = {"a", "b", "c", "d", "e", "f"};
  for (std::uint64_t i = 0; i < 40; ++i) {
    const std::string& shop = shops[i % 5];
    add("color", {{"shop", shop}, {"day", std::to_string(i % 7)}}, {i, 1, i % 3});
    add("size", {{"shop", shop}, {"day", std::to_string(i)}}, {1, i, 0, 2});
  }
  add("color", {{"shop", "e"}}, {9, 9, 9});    // e: an exact hit
  add("color", {{"shop", "f"}, {"day", "1"}}, {1, 2, 3});  // f: a roll-up of one
  for (const char* variable : {"color", "size"}) {
    SideResolver sides(db());
    for (const char* order : {"baczfedb", "fedcba"}) {
      for (const char* shop = order; *shop != '\0'; ++shop) {
        SCOPED_TRACE(testing::Message() << variable << " shop " << *shop);
        expect_as_fresh(sides, variable, {{"shop", std::string(1, *shop)}});
      }
    }
  }
}

TEST_F(SharedResolution, RebinnedCountsFollowTheGridAskedFor) {
  SideResolver sides(db());
  const ResolvedSide& side = sides.resolve("size", {{"region", "eu"}});
  struct Grid {
    std::uint64_t bins;
    double min;
    double max;
  };
  for (const Grid grid : {Grid{4, 0.0, 8.0}, Grid{8, -4.0, 8.0}, Grid{4, 0.0, 8.0},
                          Grid{3, 1.0, 5.0}, Grid{0, 0.0, 8.0}}) {
    const auto expected = math::rebin_histogram(side.counts(), grid.bins, grid.min, grid.max);
    const RebinnedCounts* got = side.rebinned(grid.bins, grid.min, grid.max);
    ASSERT_EQ(got != nullptr, expected.has_value());
    if (got != nullptr) {
      EXPECT_EQ(got->repr, *expected);
      EXPECT_EQ(got->entropy, core::entropy(*expected));
    }
  }
}

TEST_F(SharedResolution, SharedComparesEqualFreshOnes) {
  QueryCache shared_cache;
  SideResolver sides(db());
  for (const char* variable : {"color", "size"}) {
    for (const DimensionMap& a : kSides) {
      for (const DimensionMap& b : kSides) {
        const std::string fresh_error = error_of([&] {
          QueryCache cache;
          execute_compare(db(), cache, variable, a, b);
        });
        if (fresh_error != "<no error>") {
          EXPECT_EQ(error_of([&] { execute_compare(sides, shared_cache, variable, a, b); }),
                    fresh_error);
          continue;
        }
        QueryCache cache;
        EXPECT_EQ(execute_compare(sides, shared_cache, variable, a, b),
                  execute_compare(db(), cache, variable, a, b));
      }
    }
  }
}

}  // namespace
}  // namespace quib::query
