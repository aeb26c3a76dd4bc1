// Positions of distributions by id. Ids are handed out one after another, so they are usually
// dense: then a position is one array slot, 4 bytes per distribution, whether the ids come in
// rising or falling order. A file whose ids are scattered (written by hand, or after long-past
// removals) falls back to a hash table. Either form takes each id in constant time on average,
// so building the positions costs the same in any order of ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
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
  bool fits_dense(std::uint64_t id, std::size_t position);
  void go_sparse();

  bool dense_ = true;
  std::uint64_t first_ = 0;
  // id - first_ -> position, kFree for none; positions at or above kFree go sparse.
  static constexpr std::uint32_t kFree = static_cast<std::uint32_t>(-1);
  std::vector<std::uint32_t> slots_;
  std::unordered_map<std::uint64_t, std::size_t> sparse_;
  std::size_t count_ = 0;
};

}  // namespace quib::storage
