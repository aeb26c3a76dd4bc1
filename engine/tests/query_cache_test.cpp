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

CompareCacheKey key_of(std::uint64_t n) { return {1, n, "tone", {}, {}}; }

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
  const DimensionMap x{{"r", "eu"}}, xy{{"r", "eu"}, {"y", "1"}}, y{{"y", "1"}};
  cache.put_compare({1, 7, "tone", x, xy}, result_of(0.1));
  // Each differs in one field, or moves text across the border between two fields.
  const std::vector<CompareCacheKey> others = {
      {2, 7, "tone", x, xy},           {1, 8, "tone", x, xy},
      {1, 7, "ton", x, xy},            {1, 7, "tone", xy, x},
      {1, 7, "tone", x, y},            {1, 7, "tone", xy, y},
      {1, 7, "tone", {{"r", "eu1"}}, y}, {1, 7, "tone", {{"re", "u"}}, xy},
      {1, 7, "tone", {}, xy},          {1, 7, "tonerr", {}, xy},
  };
  for (const CompareCacheKey& other : others) {
    SCOPED_TRACE(&other - others.data());
    EXPECT_FALSE(cache.get_compare(other));
  }
  EXPECT_EQ(cache.get_compare({1, 7, "tone", x, xy}), result_of(0.1));
}

CompareResult with_shifts(std::size_t shifts) {
  CompareResult result;
  for (std::size_t i = 0; i < shifts; ++i) {
    result.top_shifts.push_back({"a category name longer than any in-place text", 0, 0, 0, 0});
  }
  return result;
}

TEST(QueryCacheBounds, HeldBytesStayWithinTheBoundEvictingTheLeastRecentlyUsed) {
  constexpr std::size_t kBound = 1 << 20;
  QueryCache cache(kBound);
  // Each entry holds at least its shifts and their texts: at most 1 MB / 50 kB of them fit.
  const std::size_t per_entry = 500 * (sizeof(CategoryShift) + 48);
  for (std::uint64_t n = 0; n < 40; ++n) {
    cache.put_compare(key_of(n), with_shifts(500));
    EXPECT_LE(cache.bytes(), kBound);
    EXPECT_GE(cache.bytes(), cache.size() * per_entry);
  }
  EXPECT_LT(cache.size(), kBound / per_entry + 1);
  EXPECT_TRUE(cache.get_compare(key_of(39)));
  EXPECT_FALSE(cache.get_compare(key_of(0)));
  // Too large for the bound alone: not kept, and nothing else is given up for it.
  const std::size_t held = cache.size();
  cache.put_compare(key_of(100), with_shifts(20000));
  EXPECT_FALSE(cache.get_compare(key_of(100)));
  EXPECT_EQ(cache.size(), held);
  // Replacing an entry counts the new result only.
  cache.put_compare(key_of(39), with_shifts(0));
  EXPECT_LT(cache.bytes(), (held - 1) * per_entry + per_entry / 2);
}

TEST(QueryCacheBounds, AStatementNeverEvictsWhatItStoredOrFound) {
  QueryCache cache;
  constexpr std::uint64_t kFirst = 5, kSecond = 6;
  for (std::uint64_t n = 0; n < QueryCache::kCapacity; ++n) {
    cache.put_compare(key_of(n), result_of(static_cast<double>(n)), kFirst);
  }
  cache.put_compare(key_of(10000), result_of(1), kFirst);  // would evict its own key 0
  EXPECT_FALSE(cache.get_compare(key_of(10000)));
  EXPECT_TRUE(cache.get_compare(key_of(0), kSecond));  // now the second statement's
  cache.put_compare(key_of(10001), result_of(1), kSecond);  // evicts 1, the first's oldest
  EXPECT_TRUE(cache.get_compare(key_of(10001)));
  EXPECT_FALSE(cache.get_compare(key_of(1)));
  EXPECT_TRUE(cache.get_compare(key_of(0)));
  cache.put_compare(key_of(10002), result_of(1));  // no statement: plain least recently used
  EXPECT_TRUE(cache.get_compare(key_of(10002)));
  EXPECT_EQ(cache.size(), QueryCache::kCapacity);
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
  const DimensionMap a{{"r", "a"}}, b{{"r", "b"}};
  const CompareResult first = compare(a, b);
  EXPECT_EQ(compare(a, b), first);
  EXPECT_EQ(cache_.size(), 1u);
  // A repeat answers what is stored under the key of the database's present state.
  CompareResult marked = first;
  marked.jsd = -1;
  cache_.put_compare({db().instance(), db().generation("tone"), "tone", a, b}, marked);
  EXPECT_EQ(compare(a, b), marked);

  add_unfinalised(a, 0, 100);  // counts miss even before finalisation
  EXPECT_EQ(compare(a, b).total_a, 102u);
  add("tone", a, {0, 0});
  EXPECT_EQ(compare(a, b).total_a, 102u);
  add("tone", b, {0, 6});
  EXPECT_EQ(compare(a, b).total_b, 10u);
  EXPECT_EQ(cache_.size(), 4u);
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

// A database made again by the same steps gives its variables the same generations; it is
// another instance, so the cache never answers it with the first one's results.
TEST_F(CachedCompare, AnotherDatabaseOrAnUndoneChangeIsNeverAnsweredFromTheCache) {
  const DimensionMap a{{"r", "a"}}, b{{"r", "b"}};
  add("tone", a, {5, 1});
  add("tone", b, {1, 3});
  const std::uint64_t generation = db().generation("tone");
  EXPECT_EQ(compare(a, b).total_a, 6u);
  core::Schema schema;
  schema.variables.push_back(categorical("tone", {"a", "b"}));
  recreate_with(schema);
  add("tone", a, {1, 1});
  add("tone", b, {1, 3});
  ASSERT_EQ(db().generation("tone"), generation);
  const CompareResult here = compare(a, b);
  EXPECT_EQ(here.total_a, 2u);

  {
    storage::Database::Change change(db());
    add_unfinalised(a, 1, 10);
    EXPECT_EQ(compare(a, b).total_a, 12u);
  }
  EXPECT_EQ(compare(a, b), here);
}

}  // namespace
}  // namespace quib::query
