#include "query/cache.h"

#include <utility>

namespace quib::query {

std::size_t QueryCache::KeyHash::operator()(const CompareCacheKey* key) const noexcept {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto mix = [&](std::uint64_t value) {
    hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  };
  // The side lengths keep ([x], [y, z]) apart from ([x, y], [z]).
  for (const auto* side : {&key->side_a, &key->side_b}) {
    mix(side->size());
    for (const auto& member : *side) {
      mix(member.id);
      mix(member.version);
    }
  }
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
