#include "math/cramers_v.h"

#include <algorithm>
#include <cmath>

namespace quib::math {

double cramers_v(const CountTable& table, std::uint64_t total) {
  if (table.empty() || total == 0) return 0.0;
  const std::size_t columns = table.front().size();
  if (columns == 0) return 0.0;
  const std::size_t k = std::min(columns - 1, table.size() - 1);
  if (k == 0) return 0.0;

  const TableMargins margins = table_margins(table);
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
