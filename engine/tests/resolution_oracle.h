// Resolution of one side on its own, without a `SideResolver`: the exact key through the index,
// else the roll-up of its members. The tests hold the engine's shared
// resolution to these answers.
#pragma once

#include <string_view>

#include "core/distribution.h"
#include "query/planner.h"
#include "storage/dist_store.h"

namespace quib::query {

// A copy of the resolved distribution: an exact hit unchanged; a roll-up keeps its first
// member's identity with the summed counts, sample count and entropy.
inline core::DistributionObject resolve_distribution(const storage::Database& db,
                                                     std::string_view variable,
                                                     const DimensionMap& dimensions) {
  const ResolvedMembers resolved = resolve_members(db, variable, dimensions);
  core::DistributionObject result = *resolved.members.front();
  if (resolved.exact) return result;
  result.repr = rolled_up_repr(resolved);
  result.sample_count = result.repr.total_count();
  result.entropy = core::entropy(result.repr);
  return result;
}

}  // namespace quib::query
