// Explain: which variables tell two slices apart, ranked by their Jensen-Shannon divergence and
// their share of the sum. Every compare goes through the engine's cache, so repeating an
// explanation over unchanged distributions computes nothing again.
#pragma once

#include "query/parser.h"
#include "query/result_types.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

class QueryCache;

// One compare per schema variable in schema order; the first failing compare fails the whole
// explanation. Contributions come out by jsd descending, ties in schema order.
ExplainResult execute_explain(const storage::Database& db, QueryCache& cache,
                              const DimensionMap& a, const DimensionMap& b);

}  // namespace quib::query
