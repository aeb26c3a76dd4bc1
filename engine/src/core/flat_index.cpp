#include "core/flat_index.h"

#include <algorithm>

namespace quib::core {

void FlatIndex::reserve(std::size_t count) {
  std::size_t slots = 16;
  while (slots < 2 * count + 2) slots *= 2;
  if (slots > slots_.size()) rehash(slots);
}

void FlatIndex::rehash(std::size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{});
  const std::size_t mask = slots - 1;
  for (const Slot& slot : old) {
    if (slot.index == kNone) continue;
    // Entries held are distinct, so a free slot is all that is looked for.
    std::size_t at = first_slot(slot.hash);
    while (slots_[at].index != kNone) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

}  // namespace quib::core
