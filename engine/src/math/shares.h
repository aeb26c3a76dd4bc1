// One side's counts as the compare measures read them: each count's share of the side's total,
// with the few terms derived from the shares alone. A side compared with many others on one
// support (one grid of bins, one list of categories) has them computed once, and each compare
// then spends its time on the terms that need both sides.
//
// Every term is the very expression the measures would otherwise evaluate per compare, so a
// measure over precomputed terms gives the same bits as one over the counts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quib::math {

// The smoothing that KL divergence adds to every count of the side it divides by.
inline constexpr double kKlSmoothing = 1e-10;

struct ShareTerms {
  std::uint64_t total = 0;
  std::vector<double> shares;      // count / total; all 0.0 when the total is
  std::vector<double> roots;       // the square root of each share
  std::vector<double> smoothed;    // (count + s) / (n s + total), s the smoothing, n the length
  std::vector<double> cumulative;  // the running sum of the shares
  std::size_t size() const { return shares.size(); }
};

// `total` is the side's own total as the caller passes it (it may exceed the counts' sum).
ShareTerms share_terms(std::span<const std::uint64_t> counts, std::uint64_t total);

}  // namespace quib::math
