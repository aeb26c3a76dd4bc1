#include "math/hellinger.h"

#include <cmath>
#include <cstddef>

namespace quib::math {

double hellinger(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b,
                 std::uint64_t na, std::uint64_t nb) {
  return hellinger(share_terms(a, na), share_terms(b, nb));
}

double hellinger(const ShareTerms& a, const ShareTerms& b) {
  if (a.total == 0 && b.total == 0) return 0.0;
  if (a.total == 0 || b.total == 0) return 1.0;
  double sum = -0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = a.roots[i] - b.roots[i];
    sum += d * d;
  }
  return std::sqrt(0.5 * sum);
}

}  // namespace quib::math
