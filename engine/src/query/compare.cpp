#include "query/compare.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/distribution.h"
#include "core/error.h"
#include "math/hellinger.h"
#include "math/jsd.h"
#include "math/kl_divergence.h"
#include "math/psi.h"
#include "math/rebin.h"
#include "math/shares.h"
#include "math/wasserstein.h"
#include "query/cache.h"
#include "query/planner.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

using Histogram = core::DistributionRepr::Histogram;
using Categorical = core::DistributionRepr::Categorical;

// Largest |delta| first under the total order of doubles; |x| has no sign bit, so the total
// order of two such values is the order of their bit patterns. The positions are ordered first,
// so that each category's name is copied once, straight into its place.
std::vector<CategoryShift> category_shifts(const std::vector<std::string>& categories,
                                           const math::ShareTerms& a, const math::ShareTerms& b,
                                           std::span<const double> contributions) {
  std::vector<CategoryShift> shifts;
  if (a.total == 0 && b.total == 0) return shifts;
  std::vector<std::pair<std::uint64_t, std::size_t>> order;  // (magnitude, position)
  order.reserve(categories.size());
  for (std::size_t k = 0; k < categories.size(); ++k) {
    order.emplace_back(std::bit_cast<std::uint64_t>(std::fabs(b.shares[k] - a.shares[k])), k);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  shifts.reserve(categories.size());
  for (const auto& [magnitude, k] : order) {
    const double p_a = a.shares[k];
    const double p_b = b.shares[k];
    shifts.push_back({categories[k], p_a, p_b, p_b - p_a, contributions[k]});
  }
  return shifts;
}

// Every measure that both kinds share, over the shares of two sides on one support; the
// entropies are those of the same counts, which a side keeps from its first compare.
void fill_measures(CompareResult& result, const math::ShareTerms& a, const math::ShareTerms& b,
                   double entropy_a, double entropy_b, std::span<double> contributions = {}) {
  const std::uint64_t na = a.total;
  const std::uint64_t nb = b.total;
  result.jsd = math::jsd(a, b, contributions);
  result.kl_ab = math::kl_divergence(a, b);
  result.kl_ba = math::kl_divergence(b, a);
  result.entropy_a = entropy_a;
  result.entropy_b = entropy_b;
  result.hellinger = math::hellinger(a, b);
  result.psi = math::psi_of_divergences(result.kl_ab, result.kl_ba);
  const math::JsdInterval interval = math::jsd_confidence_interval(result.jsd, na, nb);
  result.jsd_ci_low = interval.low;
  result.jsd_ci_high = interval.high;
  result.sufficient_samples = na >= 30 && nb >= 30;
  result.total_a = na;
  result.total_b = nb;
}

CompareResult categorical_result(const std::vector<std::string>& categories,
                                 const math::ShareTerms& a, const math::ShareTerms& b,
                                 double entropy_a, double entropy_b) {
  CompareResult result;
  std::vector<double> contributions(categories.size(), 0.0);
  fill_measures(result, a, b, entropy_a, entropy_b, contributions);
  result.top_shifts = category_shifts(categories, a, b, contributions);
  return result;
}

// Two sides of one category list meet on that list in byte order, which each side aligns once
// for all its compares; other pairs are aligned on the union of their names.
CompareResult compare_categorical(const ResolvedSide& a, const ResolvedSide& b) {
  const auto& ca = *a.counts().get_if<Categorical>();
  const auto& cb = *b.counts().get_if<Categorical>();
  if (ca.categories == cb.categories) {
    const OwnCategories& own_a = a.own_categories();
    const OwnCategories& own_b = b.own_categories();
    return categorical_result(own_a.aligned.categories, own_a.terms, own_b.terms, own_a.entropy,
                              own_b.entropy);
  }
  const auto aligned = math::align_categorical(ca.categories, ca.counts, cb.categories, cb.counts);
  return categorical_result(aligned.categories, math::share_terms(aligned.a, ca.total_count),
                            math::share_terms(aligned.b, cb.total_count),
                            core::entropy_of_counts(aligned.a, ca.total_count),
                            core::entropy_of_counts(aligned.b, cb.total_count));
}

// Both histograms are rebinned onto one grid spanning both ranges, as fine as the finer one.
CompareResult compare_histograms(const ResolvedSide& a, const ResolvedSide& b) {
  const auto& ha = *a.counts().get_if<Histogram>();
  const auto& hb = *b.counts().get_if<Histogram>();
  const double lo = std::fmin(ha.min, hb.min);
  const double hi = std::fmax(ha.max, hb.max);
  const std::uint64_t bins = std::max(ha.bin_counts.size(), hb.bin_counts.size());
  const RebinnedCounts* rebinned_a = a.rebinned(bins, lo, hi);
  if (rebinned_a == nullptr) throw Error("failed to rebin A");
  const RebinnedCounts* rebinned_b = b.rebinned(bins, lo, hi);
  if (rebinned_b == nullptr) throw Error("failed to rebin B");

  CompareResult result;
  fill_measures(result, rebinned_a->terms, rebinned_b->terms, rebinned_a->entropy,
                rebinned_b->entropy);
  result.wasserstein = math::wasserstein(rebinned_a->terms, rebinned_b->terms,
                                         (hi - lo) / static_cast<double>(bins));
  return result;
}

CompareResult compute(const ResolvedSide& a, const ResolvedSide& b) {
  const core::DistributionRepr& counts_a = a.counts();
  const core::DistributionRepr& counts_b = b.counts();
  if (counts_a.get_if<Categorical>() != nullptr) {
    if (counts_b.get_if<Categorical>() != nullptr) return compare_categorical(a, b);
  } else if (counts_a.get_if<Histogram>() != nullptr && counts_b.get_if<Histogram>() != nullptr) {
    return compare_histograms(a, b);
  }
  throw Error("type mismatch for compare");
}

}  // namespace

CompareResult execute_compare(const storage::Database& db, QueryCache& cache,
                              std::string_view variable, const DimensionMap& a,
                              const DimensionMap& b) {
  SideResolver sides(db);
  return execute_compare(sides, cache, variable, a, b);
}

namespace {

// The cached answer for the two slices, else the compare of the sides `resolve_a` and
// `resolve_b` give, kept. The generation changes with any count behind either side, so a hit
// needs no resolution: both sides resolved, to these counts, when the entry was stored.
template <typename ResolveA, typename ResolveB>
CompareResult cached_compare(SideResolver& sides, QueryCache& cache, std::string_view variable,
                             const DimensionMap& a, const DimensionMap& b, ResolveA&& resolve_a,
                             ResolveB&& resolve_b) {
  const storage::Database& db = sides.database();
  CompareCacheKey key(db.instance(), db.generation(variable), variable, a, b);
  if (auto cached = cache.get_compare(key, sides.statement())) return std::move(*cached);

  const ResolvedSide& side_a = resolve_a();
  const ResolvedSide& side_b = resolve_b();
  CompareResult result = compute(side_a, side_b);
  cache.put_compare(std::move(key), result, sides.statement());
  return result;
}

}  // namespace

CompareResult execute_compare(SideResolver& sides, QueryCache& cache, std::string_view variable,
                              const DimensionMap& a, const DimensionMap& b) {
  return cached_compare(
      sides, cache, variable, a, b,
      [&]() -> const ResolvedSide& { return sides.resolve(variable, a); },
      [&]() -> const ResolvedSide& { return sides.resolve(variable, b); });
}

CompareResult compare_slices(SliceSides& slices, QueryCache& cache, std::size_t i,
                             const DimensionMap& a, std::size_t j, const DimensionMap& b) {
  return cached_compare(
      slices.resolver(), cache, slices.variable(), a, b,
      [&]() -> const ResolvedSide& { return slices.at(i, a); },
      [&]() -> const ResolvedSide& { return slices.at(j, b); });
}

}  // namespace quib::query
