#include "math/cramers_v.h"

#include <algorithm>
#include <cmath>

namespace quib::math {

namespace {

// Rows or columns beyond the first, whichever are fewer: 0 leaves nothing to measure.
std::size_t degrees(const CountTable& table) {
  if (table.empty() || table.front().empty()) return 0;
  return std::min(table.front().size() - 1, table.size() - 1);
}

}  // namespace

double cramers_v(const CountTable& table, std::uint64_t total) {
  if (total == 0 || degrees(table) == 0) return 0.0;
  return cramers_v(table, table_margins(table), total);
}

double cramers_v(const CountTable& table, const TableMargins& margins, std::uint64_t total) {
  const std::size_t k = degrees(table);
  if (total == 0 || k == 0) return 0.0;
  const std::size_t columns = table.front().size();
  const double n = static_cast<double>(total);
  double chi_squared = 0.0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    const double row_sum = static_cast<double>(margins.rows[i]);
    for (std::size_t j = 0; j < columns; ++j) {
      const double expected = row_sum * static_cast<double>(margins.columns[j]) / n;
      if (!(expected > 0.0)) continue;
      const double observed = j < row.size() ? static_cast<double>(row[j]) : 0.0;
      const double deviation = observed - expected;
      chi_squared += deviation * deviation / expected;
    }
  }
  const double v = std::sqrt(chi_squared / (n * static_cast<double>(k)));
  return v > 1.0 ? 1.0 : v;
}

}  // namespace quib::math
