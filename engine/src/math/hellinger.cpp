#include "math/hellinger.h"

#include <cmath>
#include <cstddef>

namespace quib::math {

double hellinger(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b,
                 std::uint64_t na, std::uint64_t nb) {
  if (na == 0 && nb == 0) return 0.0;
  if (na == 0 || nb == 0) return 1.0;
  const double total_a = static_cast<double>(na);
  const double total_b = static_cast<double>(nb);
  double sum = -0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = std::sqrt(static_cast<double>(a[i]) / total_a) -
                     std::sqrt(static_cast<double>(b[i]) / total_b);
    sum += d * d;
  }
  return std::sqrt(0.5 * sum);
}

}  // namespace quib::math
