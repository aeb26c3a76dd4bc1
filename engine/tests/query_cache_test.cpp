// The compare cache: least-recently-used order and eviction, whole-key matching, and when a
// compare is answered from it rather than computed afresh.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query/cache.h"
#include "query/compare.h"
#include "query_test_db.h"

namespace quib::query {
namespace {

using testing_db::categorical;

CompareCacheKey key_of(std::uint64_t n) { return {{{n, 1}}, {{n + 1, 1}}}; }

CompareResult result_of(double jsd) {
  CompareResult result;
  result.jsd = jsd;
  result.top_shifts.push_back({"x", jsd, 0.0, -jsd, 0.0});
  return result;
}

// Keys 0 to 9999, 0 the least recently used.
void fill(QueryCache& cache) {
  for (std::uint64_t n = 0; n < QueryCache::kCapacity; ++n) {
    cache.put_compare(key_of(n), result_of(static_cast<double>(n)));
  }
}

TEST(QueryCacheLru, EvictsTheLeastRecentlyUsedAndAStoredKeyIsReplacedAndRefreshed) {
  QueryCache cache;
  fill(cache);
  ASSERT_EQ(cache.size(), 10000u);
  ASSERT_TRUE(cache.get_compare(key_of(0)));  // 0 is now the most recently used, 1 the least
  cache.put_compare(key_of(10000), result_of(10000));
  EXPECT_EQ(cache.size(), 10000u);
  EXPECT_FALSE(cache.get_compare(key_of(1)));
  EXPECT_EQ(cache.get_compare(key_of(0)), result_of(0));
  EXPECT_EQ(cache.get_compare(key_of(10000)), result_of(10000));
  cache.put_compare(key_of(2), result_of(0.5));  // 3 is now the least recently used
  cache.put_compare(key_of(20000), result_of(1));
  EXPECT_EQ(cache.get_compare(key_of(2)), result_of(0.5));
  EXPECT_FALSE(cache.get_compare(key_of(3)));
}

TEST(QueryCacheLru, KeysMatchOnlyWhole) {
  QueryCache cache;
  const MemberVersion x{1, 1}, y{2, 1}, z{3, 1};
  cache.put_compare({{x}, {y, z}}, result_of(0.1));
  EXPECT_FALSE(cache.get_compare({{x, y}, {z}}));
  EXPECT_FALSE(cache.get_compare({{x}, {y}}));
  EXPECT_FALSE(cache.get_compare({{x}, {z, y}}));
  EXPECT_FALSE(cache.get_compare({{x}, {y, {3, 2}}}));
  EXPECT_EQ(cache.get_compare({{x}, {y, z}}), result_of(0.1));
}

// Counts added without finalisation leave every version as it was, so a compare that still
// gives the old result was answered from the cache.
class CachedCompare : public testing_db::QueryDbTest {
 protected:
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(categorical("tone", {"a", "b"}));
  }

  void add_unfinalised(const core::DimensionKey& key, std::uint64_t category, std::uint64_t n) {
    storage::literal::CountDelta delta{storage::literal::CountDelta::Categorical{}};
    delta.add({storage::literal::SingleDelta::Category{category}}, n);
    storage::literal::increment_distribution(db(), "tone", key, delta);
  }

  CompareResult compare(const DimensionMap& a, const DimensionMap& b) {
    return execute_compare(db(), cache_, "tone", a, b);
  }

  QueryCache cache_;
};

TEST_F(CachedCompare, RepeatIsAHitAndCountsReachingEitherSideMiss) {
  add("tone", {{"r", "a"}}, {1, 1});
  add("tone", {{"r", "b"}}, {1, 3});
  const CompareResult first = compare({{"r", "a"}}, {{"r", "b"}});
  add_unfinalised({{"r", "a"}}, 0, 100);
  EXPECT_EQ(compare({{"r", "a"}}, {{"r", "b"}}), first);

  add("tone", {{"r", "a"}}, {0, 0});  // finalises side A
  const CompareResult after_a = compare({{"r", "a"}}, {{"r", "b"}});
  EXPECT_EQ(after_a.total_a, 102u);
  add("tone", {{"r", "b"}}, {0, 6});
  EXPECT_EQ(compare({{"r", "a"}}, {{"r", "b"}}).total_b, 10u);
  EXPECT_EQ(cache_.size(), 3u);
}

TEST_F(CachedCompare, RollUpsAreKeyedByTheirMembersApartFromAnExactHitOnTheFirst) {
  add("tone", {{"r", "eu"}, {"y", "1"}}, {4, 0});
  add("tone", {{"r", "eu"}, {"y", "2"}}, {0, 4});
  add("tone", {{"r", "us"}}, {1, 1});
  const DimensionMap first_member{{"r", "eu"}, {"y", "1"}}, roll_up{{"r", "eu"}},
      other{{"r", "us"}};
  EXPECT_EQ(compare(roll_up, other).total_a, 8u);
  EXPECT_EQ(compare(first_member, other).total_a, 4u);
  EXPECT_EQ(compare(roll_up, other).total_a, 8u);
  EXPECT_EQ(compare(other, first_member).total_b, 4u);
  EXPECT_EQ(compare(other, roll_up).total_b, 8u);
  EXPECT_EQ(cache_.size(), 4u);
  // Counts reaching a later member of the roll-up, on either side, give a fresh result.
  add("tone", {{"r", "eu"}, {"y", "2"}}, {0, 2});
  EXPECT_EQ(compare(roll_up, other).total_a, 10u);
  add("tone", {{"r", "eu"}, {"y", "2"}}, {0, 2});
  EXPECT_EQ(compare(other, roll_up).total_b, 12u);
}

}  // namespace
}  // namespace quib::query
