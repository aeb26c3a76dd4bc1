// The questions answered from stored joint distributions: the mutual information of one pair at
// one dimension key, the same per value of a dimension with its sample-weighted mean, and the
// ranking of every schema pair's stored joints by mutual information.
//
// Only pairs that the schema lists as joints are asked about; the joints themselves are looked
// up by exact dimension key (a joint whose key holds further entries is another slice and never
// matches). A count table always travels with the joint's own `total_count`, never with the sum
// of its cells. Everything here reads the database and changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/dimension_key.h"
#include "core/distribution.h"
#include "math/mutual_info.h"
#include "query/result_types.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

// The cells of a joint as rows of counts: a grid's or a contingency table's counts as stored, or
// one row per condition category (a histogram's bins, or a categorical's counts without its
// unknown count).
math::CountTable joint_count_table(const core::JointRepr& repr);

// Fails with the reference's parse error, "no joint distribution defined for '{}' and '{}'; call
// define_joint() first", or "joint distribution not found for '{}' and '{}' at {}". A stored
// joint with a zero total gives 0.0.
double mutual_info(const storage::Database& db, std::string_view a, std::string_view b,
                   std::string_view reference);

// `extra_pairs` join every key {dimension: value}, replacing entries of the same name. Values
// without a joint, or whose joint is empty, are left out and carry no weight.
CondMutualInfoResult conditional_mutual_info(const storage::Database& db, std::string_view a,
                                             std::string_view b, std::string_view dimension,
                                             const std::optional<core::DimensionKey>& extra_pairs);

// Without a dimension every stored joint of a pair is a row, its slice the canonical key text;
// with one, only joints at exactly {dimension: value}, the slice being the value.
CorrelationReport discover_correlations(const storage::Database& db,
                                        std::optional<std::string_view> dimension,
                                        std::uint64_t limit);

}  // namespace quib::query
