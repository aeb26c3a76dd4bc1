#include "query/engine.h"

#include <algorithm>
#include <compare>
#include <cstddef>
#include <string>
#include <vector>

#include "core/ascii_text.h"
#include "core/error.h"
#include "query/cache.h"
#include "query/compare.h"
#include "query/parser.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

// The variable of a compare: the one asked for, else reference A's, else reference B's, else
// the schema's first.
std::string_view compared_variable(const storage::Database& db, const QueryReference& a,
                                   const QueryReference& b,
                                   std::optional<std::string_view> variable) {
  if (variable) return *variable;
  if (a.variable) return *a.variable;
  if (b.variable) return *b.variable;
  if (!db.schema().variables.empty()) return db.schema().variables.front().name;
  throw Error("no variable available in schema");
}

CompareResult compare_references(SideResolver& sides, QueryCache& cache, const QueryReference& a,
                                 const QueryReference& b,
                                 std::optional<std::string_view> variable) {
  return execute_compare(sides, cache, compared_variable(sides.database(), a, b, variable),
                         a.dimensions, b.dimensions);
}

double nearest_distance(const CompareResult& result, std::string_view metric) {
  if (core::equals_ignoring_ascii_case(metric, "hellinger")) return result.hellinger;
  if (core::equals_ignoring_ascii_case(metric, "psi")) return result.psi;
  return result.jsd;
}

}  // namespace

QueryEngine::QueryEngine() : cache_(std::make_shared<QueryCache>()) {}

CompareResult QueryEngine::compare(const storage::Database& db, std::string_view reference_a,
                                   std::string_view reference_b,
                                   std::optional<std::string_view> variable) const {
  const QueryReference a = parse_reference(reference_a);
  const QueryReference b = parse_reference(reference_b);
  SideResolver sides(db);
  return compare_references(sides, *cache_, a, b, variable);
}

AcrossResult QueryEngine::compare_across(const storage::Database& db, std::string_view dimension,
                                         std::span<const std::string> values,
                                         std::optional<std::string_view> where,
                                         std::string_view variable) const {
  const std::size_t n = values.size();
  AcrossResult result;
  result.pairs.resize(n < 2 ? 0 : n * (n - 1) / 2);
  DimensionMap narrowing;
  try {
    if (where) narrowing = parse_reference(*where).dimensions;
  } catch (const Error&) {
    // Every side carries the WHERE pairs, so no pair can be compared.
    return result;
  }
  std::vector<DimensionMap> slices;
  slices.reserve(n);
  for (const std::string& value : values) {
    DimensionMap& slice = slices.emplace_back(narrowing);
    slice.emplace(dimension, value);  // a WHERE pair on the dimension itself stays
  }
  SideResolver resolver(db);
  SliceSides sides(resolver, variable, n);
  std::size_t pair = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      try {
        result.pairs[pair] = compare_slices(sides, *cache_, i, slices[i], j, slices[j]);
      } catch (const Error&) {
        // A pair that cannot be compared has no result and the others go on.
      }
      ++pair;
    }
  }
  return result;
}

NearestResult QueryEngine::nearest(const storage::Database& db, std::string_view target,
                                   std::string_view dimension,
                                   std::span<const std::string> candidates,
                                   std::string_view metric, std::uint64_t limit) const {
  const QueryReference reference = parse_reference(target);
  const auto& variables = db.schema().variables;
  if (!reference.variable && variables.empty()) throw Error("no variable in schema");
  const std::string_view variable =
      reference.variable ? std::string_view(*reference.variable) : variables.front().name;

  NearestResult result;
  result.nearest.reserve(candidates.size());
  SideResolver sides(db);
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const DimensionMap other{{dimension, candidates[k]}};
    const CompareResult compared =
        execute_compare(sides, *cache_, variable, reference.dimensions, other);
    result.nearest.push_back({k, nearest_distance(compared, metric)});
  }
  // Under the total order of doubles, with equal distances in candidate order.
  std::stable_sort(result.nearest.begin(), result.nearest.end(),
                   [](const NearestCandidate& x, const NearestCandidate& y) {
                     return std::strong_order(x.distance, y.distance) < 0;
                   });
  if (limit < result.nearest.size()) result.nearest.resize(static_cast<std::size_t>(limit));
  return result;
}

}  // namespace quib::query
