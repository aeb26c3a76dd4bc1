#include "math/jsd.h"

#include <algorithm>
#include <cmath>

#include "core/error.h"

namespace quib::math {

double jsd(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
           std::uint64_t total_p, std::uint64_t total_q) {
  if (p.size() != q.size()) throw InternalError("vector lengths must match");
  if (total_p == 0 && total_q == 0) return 0.0;
  const double n_p = static_cast<double>(total_p);
  const double n_q = static_cast<double>(total_q);
  // Sums without any term stay -0.0, so two empty sides give -0.0 rather than +0.0.
  double a = -0.0;
  double b = -0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double share_p = total_p == 0 ? 0.0 : static_cast<double>(p[i]) / n_p;
    const double share_q = total_q == 0 ? 0.0 : static_cast<double>(q[i]) / n_q;
    const double mixture = (share_p + share_q) * 0.5;
    if (!(mixture > 0.0)) continue;
    if (share_p > 0.0) a += share_p * std::log2(share_p / mixture);
    if (share_q > 0.0) b += share_q * std::log2(share_q / mixture);
  }
  return std::clamp(0.5 * a + 0.5 * b, 0.0, 1.0);
}

double jsd_contribution(double p_a, double p_b) {
  const double m = (p_a + p_b) * 0.5;
  double contribution = 0.0;
  if (m > 0) {
    const double ta = p_a > 0 ? p_a * 0.5 * std::log2(p_a / m) : 0.0;
    const double tb = p_b > 0 ? p_b * 0.5 * std::log2(p_b / m) : 0.0;
    contribution = ta + tb;
  }
  return contribution;
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
