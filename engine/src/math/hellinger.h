// Hellinger distance of two count vectors, within [0, 1].
//
// Shares are each count over its own side's total as passed by the caller. Both vectors must be
// of one length: callers align them first.
#pragma once

#include <cstdint>
#include <span>

#include "math/shares.h"

namespace quib::math {

// 0.0 when both totals are zero, 1.0 when exactly one is.
double hellinger(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
                 std::uint64_t total_p, std::uint64_t total_q);
// The same over shares computed beforehand (`shares.h`).
double hellinger(const ShareTerms& p, const ShareTerms& q);

}  // namespace quib::math
