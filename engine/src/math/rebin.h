// Moving counts between category lists and bin grids, so that two distributions of one variable
// can be compared cell by cell.
//
// Rebinning spreads each source bin over the target bins it overlaps, in proportion to the
// overlap, each share rounded half away from zero; counts outside the new range land nowhere and
// the new total is the sum of the new bins (it may differ from the old by rounding). Counts and
// totals stop at 2^64 - 1 instead of wrapping.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/distribution.h"

namespace quib::math {

// A histogram of `bins` bins over [min, max]; none for a categorical source or zero bins.
std::optional<core::DistributionRepr> rebin_histogram(const core::DistributionRepr& source,
                                                      std::uint64_t bins, double min, double max);

struct AlignedCategories {
  std::vector<std::string> categories;  // the union, each name once, ascending byte order
  std::vector<std::uint64_t> a;
  std::vector<std::uint64_t> b;
};

// Each side's counts per name of the union, 0 where the side lacks the name. A name repeated on
// one side takes the count of its last position; a position without a count counts 0, and counts
// past the end of the names are ignored.
AlignedCategories align_categorical(std::span<const std::string> categories_a,
                                    std::span<const std::uint64_t> counts_a,
                                    std::span<const std::string> categories_b,
                                    std::span<const std::uint64_t> counts_b);

}  // namespace quib::math
