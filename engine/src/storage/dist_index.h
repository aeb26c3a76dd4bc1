// The distribution index: key text ("variable|canonical dimension key") to distribution id.
//
// Two different dimension keys may share one canonical text, so an id found here is a candidate;
// the database confirms that the distribution's own key matches before using it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/dimension_key.h"
#include "core/distribution.h"

namespace quib::storage {

struct DistIndex {
  std::unordered_map<std::string, std::uint64_t> by_key;

  std::optional<std::uint64_t> get(std::string_view variable,
                                   const core::DimensionKey& dimension_key) const;
  // Maps the key text to `id`, replacing an earlier id for the same text.
  void insert(std::string_view variable, const core::DimensionKey& dimension_key,
              std::uint64_t id);

  bool operator==(const DistIndex&) const = default;
};

// "{variable}|{canonical dimension key}".
std::string index_key_text(std::string_view variable, const core::DimensionKey& dimension_key);
// Appends the same text to `out`.
void append_index_key_text(std::string& out, std::string_view variable,
                           const core::DimensionKey& dimension_key);

// The index that `rebuild_index` would make of `distributions`, written without making it: its
// encoding holds the same entries (in another order), and building the texts one at a time
// spares a flush of many distributions a map of all of them.
struct DistIndexOf {
  const std::vector<core::DistributionObject>& distributions;
};

// A new index holding every distribution's key text; a later distribution wins a shared text.
DistIndex rebuild_index(const std::vector<core::DistributionObject>& distributions);

}  // namespace quib::storage
