// The query engine: every question the query language asks of a database, answered from its
// stored counts. The engine reads the `Database` only and holds nothing but its compare cache;
// each open handle owns one engine, so each handle has its own cache.
//
// Errors are `quib::Error` values holding one plain message (no context is added here); an
// operation either returns its whole result or fails.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/dimension_key.h"
#include "query/result_types.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

class QueryCache;

// One operation per kind of question; references are texts as `parse_reference` reads them, and
// resolution, the sharing of sides among the compares of one call and the cache stay inside.
// Values that a caller read from storage are passed as they are, beside their dimension's name,
// never printed into a reference: a value holding '/' or ':' then names its own slice.
class QueryEngine {
 public:
  // An engine with an empty cache of 10000 entries.
  QueryEngine();

  // Compares one variable between two references; the variable is `variable`, else that of
  // reference A, else that of reference B, else the schema's first variable.
  CompareResult compare(const storage::Database& db, std::string_view reference_a,
                        std::string_view reference_b,
                        std::optional<std::string_view> variable) const;

  // Compares `variable` between every two `values` of `dimension`, each side resolved once. The
  // pairs of the reference `where` narrow every side and win over the compared value's pair; its
  // variable is not read. A `where` that does not parse leaves every pair without a result.
  AcrossResult compare_across(const storage::Database& db, std::string_view dimension,
                              std::span<const std::string> values,
                              std::optional<std::string_view> where,
                              std::string_view variable) const;

  // The `limit` values among `candidates` of `dimension` nearest to the reference `target` by
  // `metric` ("hellinger", "psi", else the JSD; ASCII case ignored), each compared on the
  // target's variable, else the schema's first. Fails with the target's parse error, "no
  // variable in schema", or the first failing candidate's error.
  NearestResult nearest(const storage::Database& db, std::string_view target,
                        std::string_view dimension, std::span<const std::string> candidates,
                        std::string_view metric, std::uint64_t limit) const;

  // Compares every schema variable between the slices of two references.
  ExplainResult explain(const storage::Database& db, std::string_view reference_a,
                        std::string_view reference_b) const;

  // Compares `variable` between every two values of `dimension`.
  PairwiseResult pairwise(const storage::Database& db, std::string_view dimension,
                          std::string_view variable, std::string_view metric) const;

  // Mutual information of the stored joint of (a, b) at the reference's dimension key, with the
  // further measures of the joint stored under exactly `stored_key` when there is one.
  MutualInfoResult mutual_info(const storage::Database& db, std::string_view a,
                               std::string_view b, std::string_view reference,
                               const core::DimensionKey& stored_key) const;

  // Mutual information of (a, b) per value of `dimension` and their weighted mean.
  CondMutualInfoResult conditional_mutual_info(
      const storage::Database& db, std::string_view a, std::string_view b,
      std::string_view dimension, const std::optional<core::DimensionKey>& extra_pairs) const;

  // The stored joints of every schema pair, ranked by mutual information.
  CorrelationReport discover_correlations(const storage::Database& db,
                                          std::optional<std::string_view> dimension,
                                          std::uint64_t limit) const;

  // A variable along the values of the dimension "time", with drift events; bounds inclusive.
  TrackResult track(const storage::Database& db, std::string_view reference,
                    std::optional<std::string_view> lower_bound,
                    std::optional<std::string_view> upper_bound,
                    std::optional<std::string_view> granularity) const;

  QueryCache& cache() const { return *cache_; }

 private:
  std::shared_ptr<QueryCache> cache_;
};

}  // namespace quib::query
