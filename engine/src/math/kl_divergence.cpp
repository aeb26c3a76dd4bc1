#include "math/kl_divergence.h"

#include <cmath>

#include "core/error.h"

namespace quib::math {

double kl_divergence(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
                     std::uint64_t total_p, std::uint64_t total_q) {
  if (p.size() != q.size()) throw InternalError("vector lengths must match");
  if (total_p == 0 || total_q == 0) return 0.0;
  constexpr double kSmoothing = 1e-10;
  const double n_p = static_cast<double>(total_p);
  const double smoothed_total =
      static_cast<double>(q.size()) * kSmoothing + static_cast<double>(total_q);
  double sum = -0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] == 0) continue;
    const double share_p = static_cast<double>(p[i]) / n_p;
    const double share_q = (static_cast<double>(q[i]) + kSmoothing) / smoothed_total;
    sum += share_p * std::log2(share_p / share_q);
  }
  return sum;
}

}  // namespace quib::math
