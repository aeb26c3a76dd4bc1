// Dimension keys: the combination of dimension values under which rows are counted.
//
// A key is an immutable sorted list of (name, value) pairs in byte order of the names, each name
// once. Copies share one block holding every pair's bytes, so the many distributions stored
// under one key hold it once (see `DimensionKeyInterner`), and a key of a few short pairs takes
// one small allocation. The few builders that change a key get a new block for it.
//
// The canonical text escapes nothing, so two different keys may share one text (callers that
// need exactness compare the keys themselves).
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/flat_index.h"

namespace quib::core {

class DimensionKey {
 public:
  using value_type = std::pair<std::string_view, std::string_view>;
  using size_type = std::size_t;

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = DimensionKey::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    struct pointer {
      value_type pair;
      const value_type* operator->() const { return &pair; }
    };

    const_iterator() = default;
    value_type operator*() const { return key_->pair_at(index_); }
    pointer operator->() const { return {**this}; }
    value_type operator[](difference_type n) const { return *(*this + n); }
    const_iterator& operator++() { ++index_; return *this; }
    const_iterator operator++(int) { auto old = *this; ++index_; return old; }
    const_iterator& operator--() { --index_; return *this; }
    const_iterator operator--(int) { auto old = *this; --index_; return old; }
    const_iterator& operator+=(difference_type n) { index_ += n; return *this; }
    const_iterator& operator-=(difference_type n) { index_ -= n; return *this; }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return a.index_ - b.index_;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.index_ == b.index_;
    }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) {
      return a.index_ <=> b.index_;
    }

   private:
    friend class DimensionKey;
    const_iterator(const DimensionKey* key, difference_type index) : key_(key), index_(index) {}
    const DimensionKey* key_ = nullptr;
    difference_type index_ = 0;
  };
  using iterator = const_iterator;

  DimensionKey() = default;
  // As a map would: for a repeated name the FIRST pair in input order stays.
  DimensionKey(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs);
  template <typename It>
    requires requires(It it) { it->first; }
  DimensionKey(It first, It last) {
    std::vector<value_type> pairs;
    for (; first != last; ++first) pairs.emplace_back(first->first, first->second);
    *this = from_views(std::move(pairs), false);
  }
  DimensionKey(const DimensionKey& other) noexcept : rep_(other.rep_) { retain(); }
  DimensionKey(DimensionKey&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  DimensionKey& operator=(const DimensionKey& other) noexcept {
    DimensionKey copy(other);
    swap(copy);
    return *this;
  }
  DimensionKey& operator=(DimensionKey&& other) noexcept {
    DimensionKey moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~DimensionKey() { release(); }
  void swap(DimensionKey& other) noexcept { std::swap(rep_, other.rep_); }

  // Sorts `pairs` by name; for a repeated name the last pair wins when `last_wins`, else the
  // first.
  static DimensionKey from_views(std::vector<value_type> pairs, bool last_wins);

  std::size_t size() const { return rep_ == nullptr ? 0 : rep_->shape & ~kWideEnds; }
  bool empty() const { return size() == 0; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, static_cast<std::ptrdiff_t>(size())}; }
  const_iterator cbegin() const { return begin(); }
  const_iterator cend() const { return end(); }
  const_iterator find(std::string_view name) const;
  std::size_t count(std::string_view name) const { return find(name) == end() ? 0 : 1; }
  bool contains(std::string_view name) const { return find(name) != end(); }
  // The value of `name`; throws std::out_of_range when the key lacks it.
  std::string_view at(std::string_view name) const;

  // Builders: each gives the key a block of its own with the change.
  void insert_or_assign(std::string_view name, std::string_view value);
  // Adds the pair when the name is missing, as a map's emplace does.
  bool emplace(std::string_view name, std::string_view value);
  std::size_t erase(std::string_view name);
  void clear() { DimensionKey().swap(*this); }

  // Equal keys usually share a block; keys of different blocks compare their bytes.
  friend bool operator==(const DimensionKey& a, const DimensionKey& b);
  // Pair by pair, name then value, as a map compares.
  friend std::strong_ordering operator<=>(const DimensionKey& a, const DimensionKey& b);

  // Of the bytes, kept in the block when it is made.
  std::size_t hash() const { return rep_ == nullptr ? 0 : rep_->hash; }
  // The shared block's address: equal for two keys that share it, null for the empty key.
  const void* identity() const { return rep_; }

 private:
  // One allocation: this header, the 2 * size offsets where each name and each value ends, then
  // the bytes of every name and value in order. The offsets take one byte each while the bytes
  // number at most 255, so three pairs of short texts fit in 48 bytes with the allocator's own.
  struct Rep {
    std::atomic<std::uint32_t> refs;
    std::uint32_t shape;  // the number of pairs, with kWideEnds when offsets take 4 bytes
    std::uint32_t hash;
  };
  static constexpr std::uint32_t kWideEnds = std::uint32_t{1} << 31;
  static const unsigned char* ends_of(const Rep* rep) {
    return reinterpret_cast<const unsigned char*>(rep + 1);
  }
  static std::size_t end_width(const Rep* rep) { return (rep->shape & kWideEnds) != 0 ? 4 : 1; }
  static std::uint32_t end_at(const Rep* rep, std::size_t i) {
    if ((rep->shape & kWideEnds) == 0) return ends_of(rep)[i];
    return reinterpret_cast<const std::uint32_t*>(rep + 1)[i];
  }
  value_type pair_at(std::ptrdiff_t index) const {
    const char* bytes =
        reinterpret_cast<const char*>(ends_of(rep_)) + 2 * size() * end_width(rep_);
    const std::size_t i = static_cast<std::size_t>(index) * 2;
    const std::uint32_t start = i == 0 ? 0 : end_at(rep_, i - 1);
    const std::uint32_t name_end = end_at(rep_, i);
    const std::uint32_t value_end = end_at(rep_, i + 1);
    return {std::string_view(bytes + start, name_end - start),
            std::string_view(bytes + name_end, value_end - name_end)};
  }
  std::size_t byte_size() const;
  void retain() const {
    if (rep_ != nullptr) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release();
  // A key of sorted pairs with unique names.
  template <typename Pairs>
  static DimensionKey pack(const Pairs& sorted);
  friend DimensionKey dimension_key_from_pair_span(
      std::span<const std::pair<std::string, std::string>> pairs);
  std::vector<value_type> views() const { return {begin(), end()}; }

  Rep* rep_ = nullptr;
};

// One shared block per distinct key: a key passed through `intern` comes back sharing the block
// of the first equal key it saw.
class DimensionKeyInterner {
 public:
  DimensionKeyInterner() = default;
  DimensionKeyInterner(DimensionKeyInterner&&) noexcept = default;
  DimensionKeyInterner& operator=(DimensionKeyInterner&&) noexcept = default;
  DimensionKey intern(const DimensionKey& key);
  void clear() { *this = DimensionKeyInterner(); }

 private:
  std::vector<DimensionKey> keys_;  // in the order first seen
  FlatIndex index_;                 // into keys_
};

// Orders the pairs by name; for a repeated name the last pair in input order wins.
DimensionKey dimension_key_from_pair_span(
    std::span<const std::pair<std::string, std::string>> pairs);
inline DimensionKey dimension_key_from_pairs(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  return dimension_key_from_pair_span(pairs);
}

// Whether `key` holds `name` with exactly `value`.
bool key_holds(const DimensionKey& key, std::string_view name, std::string_view value);
// Whether `key` holds every pair of `pairs` (the empty key is held by every key).
bool key_holds_all(const DimensionKey& key, const DimensionKey& pairs);

// "name:value" per entry in key order, joined by "/"; the empty key gives the empty text.
std::string canonical_dimension_key(const DimensionKey& key);

// Appends the canonical text to `out` (no allocation beyond growing `out`).
void append_canonical_dimension_key(std::string& out, const DimensionKey& key);

// The key as messages show it: {"name": "value", ...} in key order, names and values quoted by
// `append_debug_string`; the empty key gives "{}".
std::string debug_dimension_key(const DimensionKey& key);

}  // namespace quib::core
