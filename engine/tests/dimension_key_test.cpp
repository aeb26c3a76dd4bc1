// Dimension keys, their canonical text and the distribution index.
#include <gtest/gtest.h>

#include "core/dimension_key.h"
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

}  // namespace
}  // namespace quib
