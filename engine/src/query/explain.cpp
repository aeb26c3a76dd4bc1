#include "query/explain.h"

#include <algorithm>
#include <compare>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "query/compare.h"
#include "query/engine.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

// The metric names are ASCII, so a locale-free comparison is both enough and exact.
bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_name) {
  if (text.size() != lower_name.size()) return false;
  return std::equal(text.begin(), text.end(), lower_name.begin(), [](char c, char expected) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return c == expected;
  });
}

}  // namespace

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

PairwiseResult QueryEngine::pairwise(const storage::Database& db, std::string_view dimension,
                                     std::string_view variable, std::string_view metric) const {
  const std::set<std::string> values = db.dimension_values(dimension);
  PairwiseResult result;
  result.values.assign(values.begin(), values.end());
  const std::size_t n = result.values.size();
  result.matrix.assign(n, std::vector<double>(n, 0.0));
  const bool wasserstein = equals_ignoring_ascii_case(metric, "wasserstein");
  const std::string name(dimension);
  SideResolver sides(db);
  for (std::size_t i = 0; i < n; ++i) {
    const DimensionMap side_i{{name, result.values[i]}};
    for (std::size_t j = i + 1; j < n; ++j) {
      const DimensionMap side_j{{name, result.values[j]}};
      const CompareResult compared = execute_compare(sides, *cache_, variable, side_i, side_j);
      const double cell =
          wasserstein && compared.wasserstein ? *compared.wasserstein : compared.jsd;
      result.matrix[i][j] = cell;
      result.matrix[j][i] = cell;
    }
  }
  return result;
}

}  // namespace quib::query
