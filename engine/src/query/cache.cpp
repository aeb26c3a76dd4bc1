#include "query/cache.h"

#include <utility>

namespace quib::query {

QueryCache::QueryCache() {
  // Growing rehashes every key, and a key of roll-ups lists every member: a cold statement of
  // many compares would hash each key again at every doubling.
  entries_.reserve(kCapacity);
}

std::size_t QueryCache::KeyHash::operator()(const CompareCacheKey* key) const noexcept {
  // One multiply per member keeps long roll-up keys cheap; equal hashes are told apart by
  // comparing the keys whole.
  constexpr std::uint64_t kOdd = 0x9e3779b97f4a7c15ULL;
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  // The side lengths keep ([x], [y, z]) apart from ([x, y], [z]).
  for (const auto* side : {&key->side_a, &key->side_b}) {
    hash = (hash ^ side->size()) * kOdd;
    for (const auto& member : *side) {
      hash = (hash ^ member.id ^ (member.version << 32 | member.version >> 32)) * kOdd;
    }
  }
  // A multiply moves bits up only: fold the high half down twice so the low bits that pick a
  // bucket depend on every member.
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdULL;
  hash ^= hash >> 33;
  return static_cast<std::size_t>(hash);
}

std::optional<CompareResult> QueryCache::get_compare(const CompareCacheKey& key) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(&key);
  if (found == entries_.end()) return std::nullopt;
  recency_.splice(recency_.begin(), recency_, found->second);
  return found->second->result;
}

void QueryCache::put_compare(CompareCacheKey key, CompareResult result) {
  std::lock_guard lock(mutex_);
  if (auto found = entries_.find(&key); found != entries_.end()) {
    found->second->result = std::move(result);
    recency_.splice(recency_.begin(), recency_, found->second);
    return;
  }
  if (entries_.size() >= kCapacity) {
    entries_.erase(&recency_.back().key);
    recency_.pop_back();
  }
  recency_.push_front(Entry{std::move(key), std::move(result)});
  entries_.emplace(&recency_.front().key, recency_.begin());
}

std::size_t QueryCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace quib::query
