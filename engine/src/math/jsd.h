// Jensen-Shannon divergence of two count vectors, in bits, within [0, 1].
//
// Shares are each count over its own side's total as passed by the caller; a side whose total is
// zero has every share 0. Both vectors must be of one length: callers align them first, so a
// mismatch is a broken invariant (`InternalError`), never a user error.
#pragma once

#include <cstdint>
#include <span>

#include "math/shares.h"

namespace quib::math {

// +0.0 when both totals are zero; -0.0 when no share on either side is positive.
double jsd(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
           std::uint64_t total_p, std::uint64_t total_q);

// The same over shares computed beforehand (`shares.h`); with room for one value per cell,
// `contributions` receives each cell's part of the divergence: half of each side's
// p * log2(p / m), m the mean of the two shares, 0.0 when both shares are zero. Each cell's
// logarithms are taken once for both.
double jsd(const ShareTerms& p, const ShareTerms& q, std::span<double> contributions = {});

// The 95% confidence interval of a divergence measured on two samples of these totals, from the
// normal approximation over the effective sample size, clipped to [0, 1].
struct JsdInterval {
  double low = 0.0;
  double high = 0.0;
};
JsdInterval jsd_confidence_interval(double jsd, std::uint64_t total_p, std::uint64_t total_q);

}  // namespace quib::math
