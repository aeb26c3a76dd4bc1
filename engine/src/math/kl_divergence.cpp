#include "math/kl_divergence.h"

#include <cmath>

#include "core/error.h"

namespace quib::math {

double kl_divergence(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
                     std::uint64_t total_p, std::uint64_t total_q) {
  if (p.size() != q.size()) throw InternalError("vector lengths must match");
  return kl_divergence(share_terms(p, total_p), share_terms(q, total_q));
}

double kl_divergence(const ShareTerms& p, const ShareTerms& q) {
  if (p.size() != q.size()) throw InternalError("vector lengths must match");
  if (p.total == 0 || q.total == 0) return 0.0;
  double sum = -0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    // With a positive total, a share is zero exactly when its count is.
    const double share_p = p.shares[i];
    if (share_p == 0.0) continue;
    sum += share_p * std::log2(share_p / q.smoothed[i]);
  }
  return sum;
}

}  // namespace quib::math
