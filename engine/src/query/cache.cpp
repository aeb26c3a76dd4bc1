#include "query/cache.h"

#include <cstring>
#include <utility>

namespace quib::query {
namespace {

// What a text holds beyond its own object: nothing while it fits in place.
std::size_t text_heap_bytes(const std::string& text) {
  static const std::size_t in_place = std::string().capacity();
  return text.capacity() > in_place ? text.capacity() + 1 : 0;
}

template <typename Number>
void append_number(std::string& bytes, Number n) {
  char raw[sizeof n];
  std::memcpy(raw, &n, sizeof n);
  bytes.append(raw, sizeof n);
}

void append_text(std::string& bytes, std::string_view text) {
  append_number(bytes, text.size());
  bytes += text;
}

void append_pairs(std::string& bytes, const DimensionMap& pairs) {
  append_number(bytes, pairs.size());
  for (const auto& [dimension, value] : pairs) {
    append_text(bytes, dimension);
    append_text(bytes, value);
  }
}

std::size_t result_heap_bytes(const CompareResult& result) {
  std::size_t bytes = result.top_shifts.capacity() * sizeof(CategoryShift);
  for (const CategoryShift& shift : result.top_shifts) bytes += text_heap_bytes(shift.category);
  return bytes;
}

}  // namespace

CompareCacheKey::CompareCacheKey(std::uint64_t database, std::uint64_t generation,
                                 std::string_view variable, const DimensionMap& a,
                                 const DimensionMap& b) {
  append_number(bytes_, database);
  append_number(bytes_, generation);
  append_text(bytes_, variable);
  append_pairs(bytes_, a);
  append_pairs(bytes_, b);
}

std::size_t CompareCacheKey::heap_bytes() const { return text_heap_bytes(bytes_); }

QueryCache::QueryCache(std::size_t byte_capacity) : byte_capacity_(byte_capacity) {
  entries_.reserve(kCapacity);
}

std::optional<CompareResult> QueryCache::get_compare(const CompareCacheKey& key,
                                                     std::uint64_t statement) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(key.bytes());
  if (found == entries_.end()) return std::nullopt;
  recency_.splice(recency_.begin(), recency_, found->second);
  found->second->statement = statement;
  return found->second->result;
}

void QueryCache::put_compare(CompareCacheKey key, CompareResult result, std::uint64_t statement) {
  // A list node and a map node (each with its two links) per entry, besides what the key and
  // the result hold; the map's buckets are allocated once, for the full cache.
  constexpr std::size_t kNodes =
      sizeof(Entry) + sizeof(decltype(entries_)::value_type) + 4 * sizeof(void*);
  const std::size_t bytes = kNodes + key.heap_bytes() + result_heap_bytes(result);
  std::lock_guard lock(mutex_);
  if (auto found = entries_.find(key.bytes()); found != entries_.end()) {
    const Recency::iterator stored = found->second;
    entries_.erase(found);
    bytes_ -= stored->bytes;
    recency_.erase(stored);
  }
  if (bytes > byte_capacity_) return;
  while (!recency_.empty() &&
         (entries_.size() >= kCapacity || bytes_ + bytes > byte_capacity_)) {
    if (statement != 0 && recency_.back().statement == statement) return;
    evict_last();
  }
  recency_.push_front(Entry{std::move(key), std::move(result), bytes, statement});
  entries_.emplace(recency_.front().key.bytes(), recency_.begin());
  bytes_ += bytes;
}

void QueryCache::evict_last() {
  entries_.erase(recency_.back().key.bytes());
  bytes_ -= recency_.back().bytes;
  recency_.pop_back();
}

std::size_t QueryCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::size_t QueryCache::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

}  // namespace quib::query
