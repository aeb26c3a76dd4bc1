#include "core/category_list.h"

#include <functional>
#include <string_view>

namespace quib::core {
namespace {

std::size_t hash_names(const CategoryList& list) {
  std::size_t hash = list.size();
  for (const std::string& name : list) {
    // The combining step of boost::hash_combine: order matters, so permutations differ.
    hash ^= std::hash<std::string_view>{}(name) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
  }
  return hash;
}

}  // namespace

const std::vector<std::string>& CategoryList::empty_names() {
  static const std::vector<std::string> empty;
  return empty;
}

CategoryList CategoryInterner::intern(const CategoryList& list) {
  const std::size_t hash = hash_names(list);
  auto [first, last] = lists_.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (it->second == list) return it->second;
  }
  lists_.emplace(hash, list);
  return list;
}

}  // namespace quib::core
