// Resolution of a (variable, dimension map) to one distribution: the stored distribution of
// exactly that key, else the roll-up (position-wise sum) of every distribution of the variable
// whose key holds all the map's pairs.
#pragma once

#include <string_view>
#include <vector>

#include "core/distribution.h"
#include "query/parser.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

// A copy of the resolved distribution; fails with "distribution not found for variable '{}' and
// dimensions {}".
core::DistributionObject resolve_distribution(const storage::Database& db,
                                              std::string_view variable,
                                              const DimensionMap& dimensions);

// The stored distributions of `variable`, in storage order, without copying.
std::vector<const core::DistributionObject*> distributions_for_variable(
    const storage::Database& db, std::string_view variable);

}  // namespace quib::query
