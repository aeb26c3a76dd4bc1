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

}  // namespace quib::math
