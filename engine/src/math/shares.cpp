#include "math/shares.h"

#include <cmath>
#include <cstddef>

namespace quib::math {

ShareTerms share_terms(std::span<const std::uint64_t> counts, std::uint64_t total) {
  ShareTerms terms;
  terms.total = total;
  const std::size_t n = counts.size();
  terms.shares.resize(n);
  terms.roots.resize(n);
  terms.smoothed.resize(n);
  terms.cumulative.resize(n);
  const double whole = static_cast<double>(total);
  const double smoothed_total = static_cast<double>(n) * kKlSmoothing + whole;
  double cumulative = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double share = total == 0 ? 0.0 : static_cast<double>(counts[i]) / whole;
    terms.shares[i] = share;
    terms.roots[i] = std::sqrt(share);
    terms.smoothed[i] = (static_cast<double>(counts[i]) + kKlSmoothing) / smoothed_total;
    cumulative += share;
    terms.cumulative[i] = cumulative;
  }
  return terms;
}

}  // namespace quib::math
