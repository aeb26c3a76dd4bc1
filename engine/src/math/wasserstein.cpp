#include "math/wasserstein.h"

#include <cmath>
#include <cstddef>

namespace quib::math {

double wasserstein(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b,
                   std::uint64_t na, std::uint64_t nb, double width) {
  return wasserstein(share_terms(a, na), share_terms(b, nb), width);
}

double wasserstein(const ShareTerms& a, const ShareTerms& b, double width) {
  if (a.total == 0 || b.total == 0) return 0.0;
  double distance = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    distance += width * std::fabs(a.cumulative[i] - b.cumulative[i]);
  }
  return distance;
}

}  // namespace quib::math
