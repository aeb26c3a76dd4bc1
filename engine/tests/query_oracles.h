// Measures computed straight from counts for the query tests, independent of the engine's
// statistics, in bits. A vector's shares are of its own sum (no unknown rows), a table's of the
// total given.
#pragma once

#include <algorithm>
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

// Mutual information, its normalised form and Cramer's V of a rectangular table, in long
// double. Margins are summed column by column; chi-squared is expanded as
// sum n^2/e - 2 sum n + sum e.
struct TableOracle {
  using Real = long double;
  static Real entropy(const Counts& counts, std::uint64_t total) {
    Real h = 0;
    for (auto c : counts) h -= c == 0 ? 0 : Real(c) / total * std::log2(Real(c) / total);
    return h;
  }
  Real mi = 0, nmi = 0, v = 0;
  TableOracle(const std::vector<Counts>& t, std::uint64_t n) {
    Counts rows(t.size()), columns(t[0].size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      for (std::size_t i = 0; i < rows.size(); ++i) rows[i] += t[i][j], columns[j] += t[i][j];
    }
    Real squares = 0, observed = 0, expected = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      for (std::size_t j = 0; j < columns.size(); ++j) {
        const Real cell = t[i][j], e = Real(rows[i]) * columns[j] / n;
        if (cell != 0) mi += cell / n * std::log2(cell * n / (Real(rows[i]) * columns[j]));
        if (e != 0) squares += cell * cell / e, observed += cell, expected += e;
      }
    }
    const Real d = std::min(entropy(rows, n), entropy(columns, n));
    nmi = d <= 0 ? 0 : std::clamp(mi / d, Real(0), Real(1));
    const std::size_t k = std::min(rows.size(), columns.size()) - 1;
    const Real chi_squared = squares - 2 * observed + expected;
    if (k > 0) v = std::min(Real(1), std::sqrt(chi_squared / (Real(n) * k)));
  }
};

}  // namespace quib::query::oracle
