#include "query/explain.h"

#include <algorithm>
#include <compare>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "query/compare.h"
#include "query/engine.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
ExplainResult execute_explain(const storage::Database& db, QueryCache& cache,
                              const DimensionMap& a, const DimensionMap& b) {
  ExplainResult result;
  const auto& variables = db.schema().variables;
  result.contributions.reserve(variables.size());
  SideResolver sides(db);
  for (const auto& definition : variables) {
    CompareResult compared = execute_compare(sides, cache, definition.name, a, b);
    result.contributions.push_back({definition.name, std::move(compared.top_shifts),
                                    compared.jsd, 0.0, compared.entropy_a, compared.entropy_b});
  }
  for (const auto& contribution : result.contributions) result.total += contribution.jsd;
  if (result.total > 0.0) {
    for (auto& contribution : result.contributions) {
      contribution.share = contribution.jsd / result.total;
    }
  }
  // The total order keeps the ranking well defined for negative zeros and NaNs as well.
  std::stable_sort(result.contributions.begin(), result.contributions.end(),
                   [](const VariableContribution& x, const VariableContribution& y) {
                     return std::strong_order(x.jsd, y.jsd) > 0;
                   });
  return result;
}

ExplainResult QueryEngine::explain(const storage::Database& db, std::string_view reference_a,
                                   std::string_view reference_b) const {
  const QueryReference a = parse_reference(reference_a);
  const QueryReference b = parse_reference(reference_b);
  return execute_explain(db, *cache_, a.dimensions, b.dimensions);
}

}  // namespace quib::query
