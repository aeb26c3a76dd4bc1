#include "storage/id_positions.h"

#include <algorithm>

namespace quib::storage {
namespace {

// Holes allowed in the dense form before it gives way: a few per id, and a fixed slack.
constexpr std::uint64_t kSlack = 1024;

}  // namespace

std::size_t IdPositions::find(std::uint64_t id) const {
  if (dense_) {
    if (id < first_ || id - first_ >= slots_.size()) return kNone;
    const std::uint32_t position = slots_[id - first_];
    return position == kFree ? kNone : position;
  }
  const auto it = sparse_.find(id);
  return it == sparse_.end() ? kNone : it->second;
}

// Whether `id` has a slot in the dense form, making room below the first id when it must. Room
// below is made for at least as many ids as there are slots, so that ids in falling order move
// the slots a logarithmic number of times, not once per id.
bool IdPositions::fits_dense(std::uint64_t id, std::size_t position) {
  if (position >= kFree) return false;
  const std::uint64_t budget = 2 * static_cast<std::uint64_t>(count_) + kSlack;
  if (id >= first_) return id - first_ <= budget;
  const std::uint64_t needed = first_ - id;
  if (needed > budget || slots_.size() > budget - needed) return false;
  // The room beyond the id itself stays within the budget and above id 0.
  const std::uint64_t spare =
      std::min({static_cast<std::uint64_t>(slots_.size()), budget - needed - slots_.size(), id});
  const std::uint64_t room = needed + spare;
  slots_.insert(slots_.begin(), static_cast<std::size_t>(room), kFree);
  first_ -= room;
  return true;
}

bool IdPositions::insert(std::uint64_t id, std::size_t position) {
  if (dense_) {
    if (count_ == 0) {
      slots_.clear();
      first_ = id;
    }
    if (fits_dense(id, position)) {
      const std::uint64_t slot = id - first_;
      if (slot >= slots_.size()) slots_.resize(slot + 1, kFree);
      if (slots_[slot] != kFree) return false;
      slots_[slot] = static_cast<std::uint32_t>(position);
      ++count_;
      return true;
    }
    go_sparse();
  }
  if (!sparse_.try_emplace(id, position).second) return false;
  ++count_;
  return true;
}

void IdPositions::erase(std::uint64_t id, std::size_t position) {
  if (find(id) != position || position == kNone) return;
  --count_;
  if (dense_) {
    slots_[id - first_] = kFree;
    while (!slots_.empty() && slots_.back() == kFree) slots_.pop_back();
  } else {
    sparse_.erase(id);
  }
}

void IdPositions::clear() {
  *this = IdPositions();
}

void IdPositions::go_sparse() {
  sparse_.reserve(count_ + 1);
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot] != kFree) sparse_.emplace(first_ + slot, slots_[slot]);
  }
  slots_ = {};
  dense_ = false;
}

}  // namespace quib::storage
