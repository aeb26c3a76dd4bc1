#include "storage/id_positions.h"

#include <algorithm>

namespace quib::storage {
namespace {

// Holes allowed in the dense form before it gives way: a few per id, and a fixed slack.
constexpr std::uint64_t kSlack = 1024;

bool by_id(const std::pair<std::uint64_t, std::size_t>& entry, std::uint64_t id) {
  return entry.first < id;
}

}  // namespace

std::size_t IdPositions::find(std::uint64_t id) const {
  if (dense_) {
    if (id < first_ || id - first_ >= slots_.size()) return kNone;
    const std::uint32_t position = slots_[id - first_];
    return position == kFree ? kNone : position;
  }
  const auto it = std::lower_bound(sparse_.begin(), sparse_.end(), id, by_id);
  return it != sparse_.end() && it->first == id ? it->second : kNone;
}

bool IdPositions::insert(std::uint64_t id, std::size_t position) {
  if (dense_) {
    if (count_ == 0) {
      slots_.clear();
      first_ = id;
    }
    if (id >= first_ && id - first_ <= 2 * static_cast<std::uint64_t>(count_) + kSlack &&
        position < kFree) {
      const std::uint64_t slot = id - first_;
      if (slot >= slots_.size()) slots_.resize(slot + 1, kFree);
      if (slots_[slot] != kFree) return false;
      slots_[slot] = static_cast<std::uint32_t>(position);
      ++count_;
      return true;
    }
    go_sparse();
  }
  const auto it = std::lower_bound(sparse_.begin(), sparse_.end(), id, by_id);
  if (it != sparse_.end() && it->first == id) return false;
  sparse_.emplace(it, id, position);
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
    sparse_.erase(std::lower_bound(sparse_.begin(), sparse_.end(), id, by_id));
  }
}

void IdPositions::clear() {
  *this = IdPositions();
}

void IdPositions::go_sparse() {
  sparse_.reserve(count_ + 1);
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot] != kFree) sparse_.emplace_back(first_ + slot, slots_[slot]);
  }
  slots_ = {};
  dense_ = false;
}

}  // namespace quib::storage
