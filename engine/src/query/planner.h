// Resolution of a (variable, dimension map) to one distribution: the stored distribution of
// exactly that key, else the roll-up (position-wise sum) of every distribution of the variable
// whose key holds all the map's pairs.
//
// Resolution only reads the database. The members of a resolution are the stored objects its
// counts come from; callers that cache results key them by every member, because the roll-up
// copy carries only its first member's id and version.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/distribution.h"
#include "query/parser.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

// The stored distributions that one resolution reads, in storage order: the single object of
// an exact hit, else every object of the roll-up (never empty). The pointers stay valid until
// the database next creates a distribution.
struct ResolvedMembers {
  std::vector<const core::DistributionObject*> members;
  bool exact = false;
};

// The exact key's distribution through the index, else the roll-up members, without copying any
// counts; fails with "distribution not found for variable '{}' and dimensions {}".
ResolvedMembers resolve_members(const storage::Database& db, std::string_view variable,
                                const DimensionMap& dimensions);

// The roll-up members alone: every distribution of the variable whose key holds all the map's
// pairs (no pairs: all of them), in storage order, found through the database's lists of
// positions per pair, so the cost follows the shortest list rather than the store; fails with
// the not-found message when none holds them.
ResolvedMembers rolled_up_members(const storage::Database& db, std::string_view variable,
                                  const DimensionMap& dimensions);

// Asks the processor for the member's counts ahead of their use, for walks over many members.
void prefetch_counts(const core::DistributionObject& member);

// Adds a later member's counts to a roll-up's: positions are matched by index only (up to the
// shorter length), ranges and category names stay those of `into`; counts of another kind add
// nothing.
void add_repr(core::DistributionRepr& into, const core::DistributionRepr& later);

// The counts of a roll-up: a copy of the first member's counts with every later member of the
// same kind added position by position (up to the shorter length); totals are added whole.
core::DistributionRepr rolled_up_repr(const ResolvedMembers& resolved);

// The stored distributions of `variable`, in storage order, without copying.
std::vector<const core::DistributionObject*> distributions_for_variable(
    const storage::Database& db, std::string_view variable);

}  // namespace quib::query
