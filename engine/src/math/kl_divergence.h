// Kullback-Leibler divergence KL(P || Q) of two count vectors, in bits, with Q smoothed.
//
// Every q count grows by 1e-10 and Q's denominator by n * 1e-10 (n the vectors' length), so a
// zero q facing a positive p gives a large finite term instead of infinity; P is not smoothed,
// so a zero p adds nothing. Both vectors must be of one length: callers align them first, so a
// mismatch is a broken invariant (`InternalError`), never a user error.
#pragma once

#include <cstdint>
#include <span>

#include "math/shares.h"

namespace quib::math {

// +0.0 when either total is zero; -0.0 when no p count is positive.
double kl_divergence(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
                     std::uint64_t total_p, std::uint64_t total_q);
// The same over shares computed beforehand (`shares.h`).
double kl_divergence(const ShareTerms& p, const ShareTerms& q);

}  // namespace quib::math
