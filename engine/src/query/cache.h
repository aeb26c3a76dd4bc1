// The compare cache: compare results kept by what they were computed from.
//
// A key names the database instance, the variable with its generation there, and the dimension
// pairs of both sides. The database gives a variable a generation it never gave before at every
// change that can reach one of its distributions (creation, new counts, rollback, undo), and
// every open is a new instance, so a key names one set of counts for good: an entry is never
// stale nor another database's, and is never refreshed, only evicted. Keys are compared whole,
// never by their hash alone, and their size follows the statement's text, not the store.
//
// Bounds: 10000 entries and, by default, 256 MB of the entries' own heap allocations; the least
// recently used goes first. A statement never evicts what it stored or used itself: one of more
// compares than the cache holds would push out its first results before its next run asks for
// them, paying for every store without ever a hit, so such a store is skipped instead. An entry
// larger than the byte bound is never kept.
//
// One mutex guards each lookup and each store on its own; compares run outside it, so two
// callers may compute the same key and the later store wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "query/parser.h"
#include "query/result_types.h"

namespace quib::query {

class CompareCacheKey {
 public:
  CompareCacheKey(std::uint64_t database, std::uint64_t generation, std::string_view variable,
                  const DimensionMap& a, const DimensionMap& b);
  // Every field, each text behind its length, so two different keys never have equal bytes.
  std::string_view bytes() const { return bytes_; }
  std::size_t heap_bytes() const;
  bool operator==(const CompareCacheKey&) const = default;

 private:
  std::string bytes_;
};

class QueryCache {
 public:
  static constexpr std::size_t kCapacity = 10000;
  static constexpr std::size_t kByteCapacity = std::size_t{256} << 20;

  explicit QueryCache(std::size_t byte_capacity = kByteCapacity);

  // `statement` names the statement that asks (0: none); an entry it stores or finds is kept
  // from that statement's own evictions.
  // A copy of the stored result, which becomes the most recently used; none on a miss.
  std::optional<CompareResult> get_compare(const CompareCacheKey& key,
                                           std::uint64_t statement = 0);
  // Stores or replaces the result as the most recently used, evicting the least recently used
  // entries while the bounds are exceeded; skipped when that would evict an entry of
  // `statement` or the entry alone exceeds the byte bound.
  void put_compare(CompareCacheKey key, CompareResult result, std::uint64_t statement = 0);

  std::size_t size() const;
  // The heap bytes that the entries hold, as the bounds count them.
  std::size_t bytes() const;

 private:
  struct Entry {
    CompareCacheKey key;
    CompareResult result;
    std::size_t bytes = 0;
    std::uint64_t statement = 0;  // the last statement that stored or found it
  };
  using Recency = std::list<Entry>;  // most recently used first

  void evict_last();

  mutable std::mutex mutex_;
  const std::size_t byte_capacity_;
  std::size_t bytes_ = 0;
  Recency recency_;
  // The views point into the keys held by the list's nodes, which never move.
  std::unordered_map<std::string_view, Recency::iterator> entries_;
};

}  // namespace quib::query
