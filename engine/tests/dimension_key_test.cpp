// Dimension keys, their canonical text and the distribution index.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/dimension_key.h"
#include "storage/codec.h"
#include "storage/dist_index.h"

namespace quib {
namespace {

using core::canonical_dimension_key;
using core::dimension_key_from_pairs;

TEST(DimensionKey, OrdersByBytesAndLaterPairWins) {
  EXPECT_EQ(canonical_dimension_key(dimension_key_from_pairs({{"year", "2024"}, {"region", "EU"}})),
            "region:EU/year:2024");
  auto key = dimension_key_from_pairs({{"region", "EU"}, {"region", "US"}});
  ASSERT_EQ(key.size(), 1u);
  EXPECT_EQ(key.at("region"), "US");
  EXPECT_EQ(canonical_dimension_key(dimension_key_from_pairs({{"area", "1"}, {"Zone", "2"}})),
            "Zone:2/area:1");
  EXPECT_EQ(canonical_dimension_key(dimension_key_from_pairs({{"ab", "1"}, {"a", "2"}})),
            "a:2/ab:1");
  // Bytes above 0x7f sort after ASCII, as unsigned bytes do.
  EXPECT_EQ(canonical_dimension_key(dimension_key_from_pairs({{"\xc3\xa9", "1"}, {"z", "2"}})),
            "z:2/\xc3\xa9:1");
  EXPECT_EQ(canonical_dimension_key(dimension_key_from_pairs({})), "");
}

// Messages quote names and values so that a quote, a backslash or a control byte inside them
// cannot be mistaken for the message's own punctuation.
TEST(DimensionKey, DebugFormQuotesAndEscapesInKeyOrder) {
  const std::pair<core::DimensionKey, const char*> cases[] = {
      {{}, "{}"},
      {{{"region", "eu"}}, "{\"region\": \"eu\"}"},
      {{{"year", "2024"}, {"region", ""}}, "{\"region\": \"\", \"year\": \"2024\"}"},
      {{{"q\"b\\", "a\nb\tc\r\x01\x7f"}},
       "{\"q\\\"b\\\\\": \"a\\nb\\tc\\r\\u{1}\\u{7f}\"}"},
      {{{std::string("n\0ul", 4), "\xc2\x85|\xc3\xa9"}},
       "{\"n\\0ul\": \"\\u{85}|\xc3\xa9\"}"},
  };
  for (const auto& [key, expected] : cases) {
    EXPECT_EQ(core::debug_dimension_key(key), expected);
  }
}

// The key keeps the semantics of the ordered map it replaced; every case is checked against one.
TEST(DimensionKey, BehavesAsAnOrderedMap) {
  using Map = std::map<std::string, std::string>;
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const auto same = [](const core::DimensionKey& key, const Map& map) {
    return std::equal(key.begin(), key.end(), map.begin(), map.end(),
                      [](const auto& a, const auto& b) {
                        return a.first == b.first && a.second == b.second;
                      });
  };
  const Pairs inputs[] = {{},
                          {{"b", "2"}, {"a", "1"}},
                          {{"r", "x"}, {"r", "y"}, {"q", ""}},
                          {{"\xc3\xa9", "1"}, {"Z", "2"}, {"a", "3"}, {"Z", "4"}},
                          // 255 and 256 bytes of names and values, either side of the
                          // one-byte offsets, and one far beyond
                          {{"n", std::string(253, 'y')}, {"m", ""}},
                          {{"n", std::string(254, 'y')}, {"m", ""}},
                          {{"r", std::string(70000, 'z')}, {"a", "1"}}};
  std::vector<std::pair<core::DimensionKey, Map>> built;
  for (const auto& pairs : inputs) {
    SCOPED_TRACE(testing::PrintToString(pairs));
    Map first_wins(pairs.begin(), pairs.end());
    EXPECT_TRUE(same(core::DimensionKey(pairs.begin(), pairs.end()), first_wins));
    Map last_wins;
    for (const auto& [name, value] : pairs) last_wins.insert_or_assign(name, value);
    const auto key = dimension_key_from_pairs(pairs);
    EXPECT_TRUE(same(key, last_wins));
    EXPECT_EQ(key.size(), last_wins.size());
    for (const auto& [name, value] : last_wins) EXPECT_EQ(key.at(name), value);
    EXPECT_EQ(key.find("absent"), key.end());

    auto changed = key;
    auto changed_map = last_wins;
    changed.insert_or_assign("r", "new");
    changed_map.insert_or_assign("r", "new");
    EXPECT_EQ(changed.emplace("a", "kept?"), changed_map.emplace("a", "kept?").second);
    changed.emplace("m", "added");
    changed_map.emplace("m", "added");
    EXPECT_EQ(changed.erase("b"), changed_map.erase("b"));
    EXPECT_TRUE(same(changed, changed_map));
    EXPECT_TRUE(same(key, last_wins)) << "a copy changes alone";
    built.emplace_back(key, last_wins);
    built.emplace_back(changed, changed_map);
  }
  for (const auto& [a, a_map] : built) {
    for (const auto& [b, b_map] : built) {
      EXPECT_EQ(a == b, a_map == b_map);
      EXPECT_EQ(a < b, a_map < b_map);
    }
  }
}

TEST(DimensionKey, InternerHandsOutOneBlockPerDistinctKey) {
  core::DimensionKeyInterner interner;
  std::vector<core::DimensionKey> held;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 100; ++i) {
      const auto key = dimension_key_from_pairs({{"a", std::to_string(i % 40)}, {"b", "x"}});
      const auto shared = interner.intern(key);
      EXPECT_EQ(shared, key);
      if (round == 0 && i < 40) {
        held.push_back(shared);
      } else {
        EXPECT_EQ(shared.identity(), held[static_cast<std::size_t>(i % 40)].identity());
      }
    }
  }
  EXPECT_EQ(interner.intern({}), core::DimensionKey());
}

TEST(DistIndex, KeyTextAlwaysHasTheBar) {
  EXPECT_EQ(storage::index_key_text("x", {}), "x|");
  EXPECT_EQ(storage::index_key_text("sales", {{"region", "EU"}, {"year", "2024"}}),
            "sales|region:EU/year:2024");
}

TEST(DistIndex, LaterInsertReplacesAndRebuildKeepsTheLaterId) {
  storage::DistIndex index;
  EXPECT_FALSE(index.get("x", {}));
  index.insert("x", {{"r", "a"}}, 3);
  index.insert("x", {{"r", "a"}}, 7);
  EXPECT_EQ(index.by_key.size(), 1u);
  EXPECT_EQ(index.get("x", {{"r", "a"}}), 7u);
  EXPECT_FALSE(index.get("y", {{"r", "a"}}));

  std::vector<core::DistributionObject> list(2);
  list[0].id = 3;
  list[0].variable = "x";
  list[0].dimension_key = {{"a", "b/c:d"}};
  list[1].id = 7;
  list[1].variable = "x";
  list[1].dimension_key = {{"a", "b"}, {"c", "d"}};  // same canonical text
  auto rebuilt = storage::rebuild_index(list);
  EXPECT_EQ(rebuilt.by_key.size(), 1u);
  EXPECT_EQ(rebuilt.get("x", {{"a", "b/c:d"}}), 7u);
}

// Flush writes the index straight from the distributions; it must read back as the index made
// of them, a shared text leading to the later distribution.
TEST(DistIndex, WrittenFromTheDistributionsItReadsBackAsTheRebuiltIndex) {
  const std::vector<std::vector<std::pair<std::string, core::DimensionKey>>> cases = {
      {},
      {{"x", {}}, {"y", {}}},
      {{"x", {{"a", "b/c:d"}}}, {"x", {{"a", "b"}, {"c", "d"}}}, {"y", {{"a", "b/c:d"}}}},
      {{"x", {{"a", "b"}, {"c", "d"}}}, {"x", {{"r", "1"}}}, {"x", {{"a", "b/c:d"}}},
       {"x", {{"r", "2"}}}, {"x", {{"a", "b"}, {"c", "d"}}}},
  };
  for (const auto& entries : cases) {
    std::vector<core::DistributionObject> list(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      list[i].id = 10 + i;
      list[i].variable = entries[i].first;
      list[i].dimension_key = entries[i].second;
    }
    EXPECT_EQ(storage::codec::decode<storage::DistIndex>(
                  storage::codec::encode(storage::DistIndexOf{list})),
              storage::rebuild_index(list))
        << entries.size();
  }
}

}  // namespace
}  // namespace quib
