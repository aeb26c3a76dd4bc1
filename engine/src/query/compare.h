// Compare: one variable between two slices, on a common support, with every measure; results
// are kept in the engine's cache.
#pragma once

#include <string_view>

#include "query/parser.h"
#include "query/result_types.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

class QueryCache;
class ResolvedSide;
class SideResolver;

CompareResult execute_compare(const storage::Database& db, QueryCache& cache,
                              std::string_view variable, const DimensionMap& a,
                              const DimensionMap& b);

// The same, with the sides resolved through `sides`, which the compares of one statement share.
CompareResult execute_compare(SideResolver& sides, QueryCache& cache, std::string_view variable,
                              const DimensionMap& a, const DimensionMap& b);

// The same for two sides already resolved.
CompareResult compare_sides(const ResolvedSide& a, const ResolvedSide& b, QueryCache& cache);

}  // namespace quib::query
