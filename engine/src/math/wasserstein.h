// Earth mover's distance (first Wasserstein distance) between two histograms on one grid.
//
// Shares are each count over its own side's total as passed by the caller; the distance is the
// sum over bins of the bin width times the gap between the two cumulative shares. Both vectors
// must be of one length: callers rebin them onto one grid first.
#pragma once

#include <cstdint>
#include <span>

#include "math/shares.h"

namespace quib::math {

// 0.0 when either total is zero.
double wasserstein(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
                   std::uint64_t total_p, std::uint64_t total_q, double width);
// The same over shares computed beforehand (`shares.h`).
double wasserstein(const ShareTerms& p, const ShareTerms& q, double width);

}  // namespace quib::math
