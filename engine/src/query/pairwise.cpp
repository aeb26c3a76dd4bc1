// Pairwise: one variable compared between every two values of a dimension, as a symmetric
// matrix of distances.
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/ascii_text.h"
#include "query/compare.h"
#include "query/engine.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
PairwiseResult QueryEngine::pairwise(const storage::Database& db, std::string_view dimension,
                                     std::string_view variable, std::string_view metric) const {
  const std::set<std::string> values = db.dimension_values(dimension);
  PairwiseResult result;
  result.values.assign(values.begin(), values.end());
  const std::size_t n = result.values.size();
  result.matrix.assign(n, std::vector<double>(n, 0.0));
  const bool wasserstein = core::equals_ignoring_ascii_case(metric, "wasserstein");
  const std::string name(dimension);
  std::vector<DimensionMap> slices;
  slices.reserve(n);
  for (const std::string& value : result.values) slices.push_back({{name, value}});
  SideResolver resolver(db);
  SliceSides sides(resolver, variable, n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const CompareResult compared = compare_slices(sides, *cache_, i, slices[i], j, slices[j]);
      const double cell =
          wasserstein && compared.wasserstein ? *compared.wasserstein : compared.jsd;
      result.matrix[i][j] = cell;
      result.matrix[j][i] = cell;
    }
  }
  return result;
}

}  // namespace quib::query
