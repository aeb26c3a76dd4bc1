// A hash table of 32-bit indexes into the caller's own list, for lookups over millions of
// entries: each slot holds the index and 32 bits of its hash in 8 bytes, so a probe compares
// hashes in the table and visits the caller's entry only when they agree. Entries are found and
// told apart through the caller's `matches(index)`; removal is by clearing and filling again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quib::core {

class FlatIndex {
 public:
  static constexpr std::uint32_t kNone = static_cast<std::uint32_t>(-1);

  // The index held under `hash` for which `matches` holds, or kNone.
  template <typename Matches>
  std::uint32_t find(std::uint32_t hash, Matches matches) const {
    if (slots_.empty()) return kNone;
    const Slot& slot = slots_[slot_of(hash, matches)];
    return slot.index == kNone ? kNone : slot.index;
  }

  // Holds `index` under `hash`, in place of an index for which `matches` holds.
  template <typename Matches>
  void insert_or_replace(std::uint32_t hash, std::uint32_t index, Matches matches) {
    if (2 * (used_ + 1) > slots_.size()) rehash(std::max<std::size_t>(16, 2 * slots_.size()));
    Slot& slot = slots_[slot_of(hash, matches)];
    if (slot.index == kNone) ++used_;
    slot = {hash, index};
  }

  // Room for `count` entries without growing; at most half the slots are ever used, so that a
  // miss ends after a short run.
  void reserve(std::size_t count);
  void clear() { *this = FlatIndex(); }
  std::size_t size() const { return used_; }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t index = kNone;
  };
  // Spreads hashes whose low bits vary little over the whole table.
  std::size_t first_slot(std::uint32_t hash) const {
    return static_cast<std::size_t>((hash * std::uint64_t{0x9E3779B97F4A7C15}) >> 32) &
           (slots_.size() - 1);
  }
  template <typename Matches>
  std::size_t slot_of(std::uint32_t hash, Matches& matches) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = first_slot(hash);
    while (slots_[at].index != kNone && (slots_[at].hash != hash || !matches(slots_[at].index))) {
      at = (at + 1) & mask;
    }
    return at;
  }
  void rehash(std::size_t slots);

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace quib::core
