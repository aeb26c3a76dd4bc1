// The compare cache: results of compare kept by the stored distributions behind each side.
//
// A side's key lists the (id, version) of every stored distribution its counts come from: the
// one object of an exact hit, or every member of a roll-up in storage order. Finalisation raises
// the version of every distribution that new counts reach, so any change behind either side
// gives a new key; a stored result is never refreshed, only evicted. Keys are compared whole,
// never by their hash alone.
//
// Capacity is 10000 entries, evicting the least recently used. One mutex guards each lookup and
// each store on its own; compares run outside it, so two callers may compute the same key and
// the later store wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "query/result_types.h"

namespace quib::query {

struct MemberVersion {
  std::uint64_t id = 0;
  std::uint64_t version = 0;
  bool operator==(const MemberVersion&) const = default;
};

struct CompareCacheKey {
  std::vector<MemberVersion> side_a;
  std::vector<MemberVersion> side_b;
  bool operator==(const CompareCacheKey&) const = default;
};

class QueryCache {
 public:
  static constexpr std::size_t kCapacity = 10000;

  QueryCache();

  // A copy of the stored result, which becomes the most recently used; none on a miss.
  std::optional<CompareResult> get_compare(const CompareCacheKey& key);
  // Stores or replaces the result as the most recently used, evicting the least recently used
  // entry when a new key finds the cache full.
  void put_compare(CompareCacheKey key, CompareResult result);

  std::size_t size() const;

 private:
  struct Entry {
    CompareCacheKey key;
    CompareResult result;
  };
  using Recency = std::list<Entry>;  // most recently used first

  // The map points into the list's nodes, which never move, so each key is held once.
  struct KeyHash {
    std::size_t operator()(const CompareCacheKey* key) const noexcept;
  };
  struct KeyEqual {
    bool operator()(const CompareCacheKey* a, const CompareCacheKey* b) const noexcept {
      return *a == *b;
    }
  };

  mutable std::mutex mutex_;
  Recency recency_;
  std::unordered_map<const CompareCacheKey*, Recency::iterator, KeyHash, KeyEqual> entries_;
};

}  // namespace quib::query
