// Lookups that only the tests make, by scanning what a database holds in storage order; the
// engine reaches distributions through the index and the variable's positions instead.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/dimension_key.h"
#include "core/distribution.h"
#include "storage/dist_store.h"

namespace quib::storage {

// The first distribution in storage order with `id`, or null.
inline const core::DistributionObject* distribution_by_id(const Database& db, std::uint64_t id) {
  for (const auto& distribution : db.distributions()) {
    if (distribution.id == id) return &distribution;
  }
  return nullptr;
}

// The first distribution of `variable` in storage order whose key holds every pair given (no
// pairs: the variable's first distribution), or null.
inline const core::DistributionObject* find_distribution_by_reference(
    const Database& db, std::string_view variable, const core::DimensionKey& pairs) {
  for (const auto& distribution : db.distributions()) {
    if (distribution.variable == variable &&
        core::key_holds_all(distribution.dimension_key, pairs)) {
      return &distribution;
    }
  }
  return nullptr;
}

}  // namespace quib::storage
