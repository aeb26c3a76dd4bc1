// Positions by id, dense and scattered, checked against an ordered map.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <numeric>
#include <vector>

#include "storage/id_positions.h"

namespace quib {
namespace {

using storage::IdPositions;

TEST(IdPositions, AgreesWithAMapForDenseScatteredAndRemovedIds) {
  std::vector<std::uint64_t> falling(3000);
  std::iota(falling.rbegin(), falling.rend(), 5);  // room below the first id runs out at 0
  std::vector<std::uint64_t> zigzag;               // each id further from the first, both ways
  for (std::uint64_t i = 0; i < 1500; ++i) zigzag.insert(zigzag.end(), {5000 + i, 4999 - i});
  const std::vector<std::vector<std::uint64_t>> id_lists = {
      falling,
      zigzag,
      {1, 2, 3, 4, 5},
      {10, 12, 11, 14},                       // holes and one out of order
      {5, 3, 1},                              // below the first id
      {1, 2, std::uint64_t{1} << 40, 3, UINT64_MAX, 0},  // far apart
      {7, 7, 8},                              // a repeated id is refused
  };
  for (const auto& ids : id_lists) {
    SCOPED_TRACE(testing::PrintToString(ids));
    IdPositions positions;
    std::map<std::uint64_t, std::size_t> expected;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      EXPECT_EQ(positions.insert(ids[i], i), expected.try_emplace(ids[i], i).second);
    }
    const auto agree = [&] {
      EXPECT_EQ(positions.size(), expected.size());
      for (std::uint64_t id : ids) {
        const auto found = expected.find(id);
        EXPECT_EQ(positions.find(id), found == expected.end() ? IdPositions::kNone : found->second);
      }
      EXPECT_EQ(positions.find(9999), IdPositions::kNone);
    };
    agree();
    // Removing needs the position the id leads to; the last id goes, then another one survives
    // a removal aimed at the wrong position.
    positions.erase(ids.back(), expected[ids.back()] + 1);
    agree();
    positions.erase(ids.back(), expected[ids.back()]);
    expected.erase(ids.back());
    agree();
    positions.insert(ids.back(), 42);
    expected.try_emplace(ids.back(), 42);
    agree();
  }
}

}  // namespace
}  // namespace quib
