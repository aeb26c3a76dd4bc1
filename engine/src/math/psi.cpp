#include "math/psi.h"

#include "math/kl_divergence.h"

namespace quib::math {

double psi(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
           std::uint64_t total_p, std::uint64_t total_q) {
  // With a zero total both directions give +0.0, whose sum keeps the sign positive.
  return psi_of_divergences(kl_divergence(p, q, total_p, total_q),
                            kl_divergence(q, p, total_q, total_p));
}

double psi_of_divergences(double kl_pq, double kl_qp) { return kl_pq + kl_qp; }

}  // namespace quib::math
