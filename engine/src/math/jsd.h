// Jensen-Shannon divergence of two count vectors, in bits, within [0, 1].
//
// Shares are each count over its own side's total as passed by the caller; a side whose total is
// zero has every share 0. Both vectors must be of one length: callers align them first, so a
// mismatch is a broken invariant (`InternalError`), never a user error.
#pragma once

#include <cstdint>
#include <span>

namespace quib::math {

// +0.0 when both totals are zero; -0.0 when no share on either side is positive.
double jsd(std::span<const std::uint64_t> p, std::span<const std::uint64_t> q,
           std::uint64_t total_p, std::uint64_t total_q);

}  // namespace quib::math
