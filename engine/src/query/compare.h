// Compare: one variable between two slices, on a common support, with every measure; results
// are kept in the engine's cache.
#pragma once

#include <cstddef>
#include <string_view>

#include "query/parser.h"
#include "query/result_types.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

class QueryCache;
class SideResolver;
class SliceSides;

CompareResult execute_compare(const storage::Database& db, QueryCache& cache,
                              std::string_view variable, const DimensionMap& a,
                              const DimensionMap& b);

// The same, with the sides resolved through `sides`, which the compares of one statement share.
CompareResult execute_compare(SideResolver& sides, QueryCache& cache, std::string_view variable,
                              const DimensionMap& a, const DimensionMap& b);

// The same for slices `i` and `j` of `slices`, whose dimensions are `a` and `b`: each slice is
// resolved once per statement, when a compare first needs it.
CompareResult compare_slices(SliceSides& slices, QueryCache& cache, std::size_t i,
                             const DimensionMap& a, std::size_t j, const DimensionMap& b);

}  // namespace quib::query
