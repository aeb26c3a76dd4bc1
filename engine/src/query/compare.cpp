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
#include "math/jsd.h"
#include "math/kl_divergence.h"
#include "math/rebin.h"
#include "query/cache.h"
#include "query/planner.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

using Counts = std::span<const std::uint64_t>;
using Histogram = core::DistributionRepr::Histogram;
using Categorical = core::DistributionRepr::Categorical;

double share(std::uint64_t count, std::uint64_t total) {
  return total == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(total);
}

// Largest |delta| first under the total order of doubles; |x| has no sign bit, so the total
// order of two such values is the order of their bit patterns.
void sort_shifts(std::vector<CategoryShift>& shifts) {
  auto magnitude = [](const CategoryShift& shift) {
    return std::bit_cast<std::uint64_t>(std::fabs(shift.delta));
  };
  std::stable_sort(shifts.begin(), shifts.end(),
                   [&](const auto& x, const auto& y) { return magnitude(x) > magnitude(y); });
}

std::vector<CategoryShift> category_shifts(const std::vector<std::string>& categories, Counts a,
                                           Counts b, std::uint64_t na, std::uint64_t nb) {
  std::vector<CategoryShift> shifts;
  if (na == 0 && nb == 0) return shifts;
  shifts.reserve(categories.size());
  for (std::size_t k = 0; k < categories.size(); ++k) {
    const double p_a = share(a[k], na);
    const double p_b = share(b[k], nb);
    const double m = (p_a + p_b) * 0.5;
    double contribution = 0.0;
    if (m > 0) {
      const double ta = p_a > 0 ? p_a * 0.5 * std::log2(p_a / m) : 0.0;
      const double tb = p_b > 0 ? p_b * 0.5 * std::log2(p_b / m) : 0.0;
      contribution = ta + tb;
    }
    shifts.push_back({categories[k], p_a, p_b, p_b - p_a, contribution});
  }
  sort_shifts(shifts);
  return shifts;
}

double hellinger(Counts a, Counts b, std::uint64_t na, std::uint64_t nb) {
  if (na == 0 && nb == 0) return 0.0;
  if (na == 0 || nb == 0) return 1.0;
  const double total_a = static_cast<double>(na);
  const double total_b = static_cast<double>(nb);
  double sum = -0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = std::sqrt(static_cast<double>(a[i]) / total_a) -
                     std::sqrt(static_cast<double>(b[i]) / total_b);
    sum += d * d;
  }
  return std::sqrt(0.5 * sum);
}

// Earth mover's distance between two histograms on one grid of bins of `width`.
double wasserstein(Counts a, Counts b, std::uint64_t na, std::uint64_t nb, double width) {
  if (na == 0 || nb == 0) return 0.0;
  const double total_a = static_cast<double>(na);
  const double total_b = static_cast<double>(nb);
  double cumulative_a = 0.0;
  double cumulative_b = 0.0;
  double distance = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    cumulative_a += static_cast<double>(a[i]) / total_a;
    cumulative_b += static_cast<double>(b[i]) / total_b;
    distance += width * std::fabs(cumulative_a - cumulative_b);
  }
  return distance;
}

// Every measure that both kinds share, over two count vectors of one length; the entropies are
// those of the same vectors, which a caller may have kept from an earlier compare.
void fill_measures(CompareResult& result, Counts a, Counts b, std::uint64_t na, std::uint64_t nb,
                   double entropy_a, double entropy_b) {
  result.jsd = math::jsd(a, b, na, nb);
  result.kl_ab = math::kl_divergence(a, b, na, nb);
  result.kl_ba = math::kl_divergence(b, a, nb, na);
  result.entropy_a = entropy_a;
  result.entropy_b = entropy_b;
  result.hellinger = hellinger(a, b, na, nb);
  // The index is both divergences by the same smoothed rule, zero when either total is.
  result.psi = result.kl_ab + result.kl_ba;

  const double divisor =
      na == 0 && nb == 0 ? 1.0 : static_cast<double>(na) + static_cast<double>(nb);
  const double n_eff = static_cast<double>(na) * static_cast<double>(nb) / divisor;
  double margin = 0.0;
  if (n_eff > 0) {
    margin = 1.96 * std::sqrt(std::fmax(result.jsd, 1e-12) *
                              std::fmax(1 - result.jsd, 1e-12) / n_eff);
  }
  result.jsd_ci_low = std::fmax(result.jsd - margin, 0.0);
  result.jsd_ci_high = std::fmin(result.jsd + margin, 1.0);
  result.sufficient_samples = na >= 30 && nb >= 30;
  result.total_a = na;
  result.total_b = nb;
}

CompareResult compare_categorical(const Categorical& a, const Categorical& b) {
  const auto aligned = math::align_categorical(a.categories, a.counts, b.categories, b.counts);
  CompareResult result;
  fill_measures(result, aligned.a, aligned.b, a.total_count, b.total_count,
                core::entropy_of_counts(aligned.a, a.total_count),
                core::entropy_of_counts(aligned.b, b.total_count));
  result.top_shifts =
      category_shifts(aligned.categories, aligned.a, aligned.b, a.total_count, b.total_count);
  return result;
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
  const auto& ra = *rebinned_a->repr.get_if<Histogram>();
  const auto& rb = *rebinned_b->repr.get_if<Histogram>();

  CompareResult result;
  fill_measures(result, ra.bin_counts, rb.bin_counts, ra.total_count, rb.total_count,
                rebinned_a->entropy, rebinned_b->entropy);
  result.wasserstein = wasserstein(ra.bin_counts, rb.bin_counts, ra.total_count, rb.total_count,
                                   (hi - lo) / static_cast<double>(bins));
  return result;
}

CompareResult compute(const ResolvedSide& a, const ResolvedSide& b) {
  const core::DistributionRepr& counts_a = a.counts();
  const core::DistributionRepr& counts_b = b.counts();
  if (const auto* ca = counts_a.get_if<Categorical>()) {
    if (const auto* cb = counts_b.get_if<Categorical>()) return compare_categorical(*ca, *cb);
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

CompareResult execute_compare(SideResolver& sides, QueryCache& cache, std::string_view variable,
                              const DimensionMap& a, const DimensionMap& b) {
  // The generation changes with any count behind either side, so a hit needs no resolution:
  // both sides resolved, to these counts, when the entry was stored.
  const storage::Database& db = sides.database();
  CompareCacheKey key(db.instance(), db.generation(variable), variable, a, b);
  if (auto cached = cache.get_compare(key, sides.statement())) return std::move(*cached);

  const ResolvedSide& side_a = sides.resolve(variable, a);
  const ResolvedSide& side_b = sides.resolve(variable, b);
  CompareResult result = compute(side_a, side_b);
  cache.put_compare(std::move(key), result, sides.statement());
  return result;
}

}  // namespace quib::query
