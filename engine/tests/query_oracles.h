// Measures computed straight from count vectors for the query tests, independent of the
// engine's statistics: shares of the vector's own sum (no unknown rows), in bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace quib::query::oracle {

using Counts = std::vector<std::uint64_t>;

inline double share(const Counts& counts, std::size_t i) {
  return static_cast<double>(counts[i]) /
         static_cast<double>(std::accumulate(counts.begin(), counts.end(), std::uint64_t{0}));
}

inline double entropy_bits(const Counts& counts) {
  double h = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] > 0) h -= share(counts, i) * std::log2(share(counts, i));
  }
  return h;
}

inline double jsd_bits(const Counts& a, const Counts& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double p = share(a, i);
    const double q = share(b, i);
    if (p > 0.0) d += 0.5 * p * std::log2(2 * p / (p + q));
    if (q > 0.0) d += 0.5 * q * std::log2(2 * q / (p + q));
  }
  return d;
}

}  // namespace quib::query::oracle
