// The flat hash index, with hashes chosen to collide, checked against a map.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/flat_index.h"

namespace quib {
namespace {

using core::FlatIndex;

TEST(FlatIndex, FindsReplacesAndGrowsWhateverTheHashesShare) {
  // hash of entry i: all alike, a few alike, all different.
  const std::vector<std::uint32_t (*)(std::uint32_t)> hashes = {
      [](std::uint32_t) { return 7u; },
      [](std::uint32_t i) { return i % 3; },
      [](std::uint32_t i) { return i * 2654435761u; },
  };
  for (std::size_t h = 0; h < hashes.size(); ++h) {
    SCOPED_TRACE(h);
    const auto hash_of = hashes[h];
    // Entries are texts; equal texts are one entry, so a later index replaces an earlier one.
    std::vector<std::string> entries;
    std::map<std::string, std::uint32_t> expected;
    FlatIndex index;
    for (std::uint32_t i = 0; i < 300; ++i) {
      const std::string text = std::to_string(i % 200);
      entries.push_back(text);
      const std::uint32_t name = static_cast<std::uint32_t>(i % 200);
      index.insert_or_replace(hash_of(name), i, [&](std::uint32_t at) {
        return entries[at] == text;
      });
      expected[text] = i;
    }
    EXPECT_EQ(index.size(), expected.size());
    for (std::uint32_t name = 0; name < 210; ++name) {
      const std::string text = std::to_string(name);
      const auto found = expected.find(text);
      EXPECT_EQ(index.find(hash_of(name), [&](std::uint32_t at) { return entries[at] == text; }),
                found == expected.end() ? FlatIndex::kNone : found->second);
    }
  }
}

}  // namespace
}  // namespace quib
