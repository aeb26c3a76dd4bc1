// Positions of distributions by id. Ids are handed out one after another, so they are usually
// dense: then a position is one array slot, 4 bytes per distribution. A file whose ids are
// scattered (written by hand, or after long-past removals) falls back to a sorted list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quib::storage {

class IdPositions {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t find(std::uint64_t id) const;
  // False, changing nothing, when `id` already has a position.
  bool insert(std::uint64_t id, std::size_t position);
  // Forgets `id` when it leads to `position`.
  void erase(std::uint64_t id, std::size_t position);
  void clear();
  std::size_t size() const { return count_; }

 private:
  void go_sparse();

  bool dense_ = true;
  std::uint64_t first_ = 0;
  // id - first_ -> position, kFree for none; positions at or above kFree go sparse.
  static constexpr std::uint32_t kFree = static_cast<std::uint32_t>(-1);
  std::vector<std::uint32_t> slots_;
  std::vector<std::pair<std::uint64_t, std::size_t>> sparse_;  // by id
  std::size_t count_ = 0;
};

}  // namespace quib::storage
