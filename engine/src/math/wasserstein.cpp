#include "math/wasserstein.h"

#include <cmath>
#include <cstddef>

namespace quib::math {

double wasserstein(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b,
                   std::uint64_t na, std::uint64_t nb, double width) {
  if (na == 0 || nb == 0) return 0.0;
  const double total_a = static_cast<double>(na);
  const double total_b = static_cast<double>(nb);
  double cumulative_a = 0.0;
  double cumulative_b = 0.0;
  double distance = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    cumulative_a += static_cast<double>(a[i]) / total_a;
    cumulative_b += static_cast<double>(b[i]) / total_b;
    distance += width * std::fabs(cumulative_a - cumulative_b);
  }
  return distance;
}

}  // namespace quib::math
