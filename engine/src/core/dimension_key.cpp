#include "core/dimension_key.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

#include "core/debug_text.h"

namespace quib::core {

DimensionKey::DimensionKey(
    std::initializer_list<std::pair<std::string_view, std::string_view>> pairs)
    : DimensionKey(from_views(std::vector<value_type>(pairs.begin(), pairs.end()), false)) {}

DimensionKey DimensionKey::from_views(std::vector<value_type> pairs, bool last_wins) {
  // A stable sort keeps input order among equal names, so the first or last of a run is the
  // pair that wins.
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const value_type& a, const value_type& b) { return a.first < b.first; });
  std::vector<value_type> unique;
  unique.reserve(pairs.size());
  for (const auto& pair : pairs) {
    if (!unique.empty() && unique.back().first == pair.first) {
      if (last_wins) unique.back().second = pair.second;
    } else {
      unique.push_back(pair);
    }
  }
  return pack(unique);
}

template <typename Pairs>
DimensionKey DimensionKey::pack(const Pairs& sorted) {
  DimensionKey key;
  if (sorted.empty()) return key;
  std::size_t bytes = 0;
  for (const auto& [name, value] : sorted) bytes += name.size() + value.size();
  if (bytes > UINT32_MAX) throw std::length_error("dimension key too long");
  if (sorted.size() >= kWideEnds) throw std::length_error("dimension key too long");
  const bool wide = bytes > 0xff;
  const std::size_t ends = 2 * sorted.size();
  const std::size_t width = wide ? sizeof(std::uint32_t) : 1;
  void* block = ::operator new(sizeof(Rep) + ends * width + bytes);
  Rep* rep = new (block) Rep{};
  rep->refs.store(1, std::memory_order_relaxed);
  rep->shape = static_cast<std::uint32_t>(sorted.size()) | (wide ? kWideEnds : 0);
  auto* end = reinterpret_cast<unsigned char*>(rep + 1);
  char* out = reinterpret_cast<char*>(end + ends * width);
  std::uint32_t at = 0;
  const auto put_end = [&] {
    if (wide) {
      std::memcpy(end, &at, sizeof at);
    } else {
      *end = static_cast<unsigned char>(at);
    }
    end += width;
  };
  for (const auto& [name, value] : sorted) {
    std::memcpy(out + at, name.data(), name.size());
    at += static_cast<std::uint32_t>(name.size());
    put_end();
    std::memcpy(out + at, value.data(), value.size());
    at += static_cast<std::uint32_t>(value.size());
    put_end();
  }
  key.rep_ = rep;
  rep->hash = static_cast<std::uint32_t>(std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(ends_of(rep)), key.byte_size())));
  return key;
}

void DimensionKey::release() {
  if (rep_ != nullptr && rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    rep_->~Rep();
    ::operator delete(rep_);
  }
  rep_ = nullptr;
}

std::size_t DimensionKey::byte_size() const {
  const std::size_t ends = 2 * size();
  return ends * end_width(rep_) + end_at(rep_, ends - 1);
}

DimensionKey::const_iterator DimensionKey::find(std::string_view name) const {
  const auto it = std::lower_bound(begin(), end(), name, [](const value_type& pair,
                                                            std::string_view wanted) {
    return pair.first < wanted;
  });
  return it != end() && (*it).first == name ? it : end();
}

std::string_view DimensionKey::at(std::string_view name) const {
  const auto it = find(name);
  if (it == end()) throw std::out_of_range("dimension key has no such name");
  return (*it).second;
}

void DimensionKey::insert_or_assign(std::string_view name, std::string_view value) {
  auto pairs = views();
  pairs.emplace_back(name, value);
  *this = from_views(std::move(pairs), true);
}

bool DimensionKey::emplace(std::string_view name, std::string_view value) {
  if (contains(name)) return false;
  insert_or_assign(name, value);
  return true;
}

std::size_t DimensionKey::erase(std::string_view name) {
  if (!contains(name)) return 0;
  auto pairs = views();
  std::erase_if(pairs, [&](const value_type& pair) { return pair.first == name; });
  *this = pack(pairs);
  return 1;
}

bool operator==(const DimensionKey& a, const DimensionKey& b) {
  if (a.rep_ == b.rep_) return true;
  if (a.size() != b.size() || a.hash() != b.hash()) return false;
  if (a.empty()) return true;
  // Blocks are laid out alike for equal keys, so equal bytes mean equal keys.
  const std::size_t bytes = a.byte_size();
  return bytes == b.byte_size() &&
         std::memcmp(DimensionKey::ends_of(a.rep_), DimensionKey::ends_of(b.rep_), bytes) == 0;
}

std::strong_ordering operator<=>(const DimensionKey& a, const DimensionKey& b) {
  if (a.rep_ == b.rep_) return std::strong_ordering::equal;
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto [a_name, a_value] = a.pair_at(static_cast<std::ptrdiff_t>(i));
    const auto [b_name, b_value] = b.pair_at(static_cast<std::ptrdiff_t>(i));
    if (const auto order = a_name <=> b_name; order != 0) return order;
    if (const auto order = a_value <=> b_value; order != 0) return order;
  }
  return a.size() <=> b.size();
}

DimensionKey DimensionKeyInterner::intern(const DimensionKey& key) {
  if (key.empty()) return key;
  const auto hash = static_cast<std::uint32_t>(key.hash());
  const auto same = [&](std::uint32_t index) { return keys_[index] == key; };
  if (const std::uint32_t found = index_.find(hash, same); found != FlatIndex::kNone) {
    return keys_[found];
  }
  if (keys_.size() >= FlatIndex::kNone) throw std::length_error("too many dimension keys");
  index_.insert_or_replace(hash, static_cast<std::uint32_t>(keys_.size()), same);
  keys_.push_back(key);
  return key;
}

DimensionKey dimension_key_from_pair_span(
    std::span<const std::pair<std::string, std::string>> pairs) {
  // Stored keys come in order, each name once: they are packed as they are.
  const bool in_order = std::adjacent_find(pairs.begin(), pairs.end(), [](const auto& a,
                                                                          const auto& b) {
                          return !(a.first < b.first);
                        }) == pairs.end();
  if (in_order) return DimensionKey::pack(pairs);
  std::vector<DimensionKey::value_type> views(pairs.begin(), pairs.end());
  return DimensionKey::from_views(std::move(views), true);
}

bool key_holds(const DimensionKey& key, std::string_view name, std::string_view value) {
  const auto found = key.find(name);
  return found != key.end() && found->second == value;
}

bool key_holds_all(const DimensionKey& key, const DimensionKey& pairs) {
  return std::all_of(pairs.begin(), pairs.end(),
                     [&](const auto& pair) { return key_holds(key, pair.first, pair.second); });
}

void append_canonical_dimension_key(std::string& out, const DimensionKey& key) {
  bool first = true;
  for (const auto& [name, value] : key) {
    if (!first) out += '/';
    first = false;
    out += name;
    out += ':';
    out += value;
  }
}

std::string canonical_dimension_key(const DimensionKey& key) {
  std::string out;
  append_canonical_dimension_key(out, key);
  return out;
}

std::string debug_dimension_key(const DimensionKey& key) {
  std::string out = "{";
  bool first = true;
  for (const auto& [name, value] : key) {
    if (!first) out += ", ";
    first = false;
    append_debug_string(out, name);
    out += ": ";
    append_debug_string(out, value);
  }
  out += '}';
  return out;
}

}  // namespace quib::core
