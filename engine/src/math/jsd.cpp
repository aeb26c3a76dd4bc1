#include "math/jsd.h"

#include <algorithm>
#include <cmath>

#include "core/error.h"

namespace quib::math {

double jsd(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
           std::uint64_t total_p, std::uint64_t total_q) {
  if (p.size() != q.size()) throw InternalError("vector lengths must match");
  return jsd(share_terms(p, total_p), share_terms(q, total_q));
}

double jsd(const ShareTerms& p, const ShareTerms& q, std::span<double> contributions) {
  if (p.size() != q.size()) throw InternalError("vector lengths must match");
  if (p.total == 0 && q.total == 0) return 0.0;
  const bool per_cell = contributions.size() >= p.size();
  // Sums without any term stay -0.0, so two empty sides give -0.0 rather than +0.0.
  double a = -0.0;
  double b = -0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double share_p = p.shares[i];
    const double share_q = q.shares[i];
    const double mixture = (share_p + share_q) * 0.5;
    double part_p = 0.0;
    double part_q = 0.0;
    if (mixture > 0.0) {
      if (share_p > 0.0) {
        const double log_ratio = std::log2(share_p / mixture);
        a += share_p * log_ratio;
        part_p = share_p * 0.5 * log_ratio;
      }
      if (share_q > 0.0) {
        const double log_ratio = std::log2(share_q / mixture);
        b += share_q * log_ratio;
        part_q = share_q * 0.5 * log_ratio;
      }
    }
    if (per_cell) contributions[i] = part_p + part_q;
  }
  return std::clamp(0.5 * a + 0.5 * b, 0.0, 1.0);
}

JsdInterval jsd_confidence_interval(double jsd, std::uint64_t na, std::uint64_t nb) {
  const double divisor =
      na == 0 && nb == 0 ? 1.0 : static_cast<double>(na) + static_cast<double>(nb);
  const double n_eff = static_cast<double>(na) * static_cast<double>(nb) / divisor;
  double margin = 0.0;
  if (n_eff > 0) {
    margin = 1.96 * std::sqrt(std::fmax(jsd, 1e-12) * std::fmax(1 - jsd, 1e-12) / n_eff);
  }
  return {std::fmax(jsd - margin, 0.0), std::fmin(jsd + margin, 1.0)};
}

}  // namespace quib::math
