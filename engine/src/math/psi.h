// Population stability index of two count vectors: the smoothed KL divergence taken both ways
// (see `kl_divergence.h`), in bits.
#pragma once

#include <cstdint>
#include <span>

namespace quib::math {

// +0.0 when either total is zero; -0.0 for empty vectors with both totals positive.
double psi(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
           std::uint64_t total_p, std::uint64_t total_q);
// The same from the two divergences already at hand, in the order KL(P || Q), KL(Q || P).
double psi_of_divergences(double kl_pq, double kl_qp);

}  // namespace quib::math
