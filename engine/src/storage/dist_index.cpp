#include "storage/dist_index.h"

namespace quib::storage {

void append_index_key_text(std::string& out, std::string_view variable,
                           const core::DimensionKey& dimension_key) {
  out += variable;
  out += '|';
  core::append_canonical_dimension_key(out, dimension_key);
}

std::string index_key_text(std::string_view variable, const core::DimensionKey& dimension_key) {
  std::string text;
  text.reserve(variable.size() + 1 + 16 * dimension_key.size());
  append_index_key_text(text, variable, dimension_key);
  return text;
}

std::optional<std::uint64_t> DistIndex::get(std::string_view variable,
                                            const core::DimensionKey& dimension_key) const {
  if (by_key.empty()) return std::nullopt;
  auto it = by_key.find(index_key_text(variable, dimension_key));
  if (it == by_key.end()) return std::nullopt;
  return it->second;
}

void DistIndex::insert(std::string_view variable, const core::DimensionKey& dimension_key,
                       std::uint64_t id) {
  by_key.insert_or_assign(index_key_text(variable, dimension_key), id);
}

DistIndex rebuild_index(const std::vector<core::DistributionObject>& distributions) {
  DistIndex index;
  index.by_key.reserve(distributions.size());
  for (const auto& distribution : distributions) {
    index.insert(distribution.variable, distribution.dimension_key, distribution.id);
  }
  return index;
}

}  // namespace quib::storage
