#include "math/mutual_info.h"

#include <algorithm>
#include <cmath>

#include "core/distribution.h"

namespace quib::math {

TableMargins table_margins(const CountTable& table) {
  TableMargins margins;
  const std::size_t columns = table.empty() ? 0 : table.front().size();
  margins.rows.reserve(table.size());
  margins.columns.assign(columns, 0);
  for (const auto& row : table) {
    std::uint64_t row_sum = 0;
    const std::size_t cells = std::min(row.size(), columns);
    for (std::size_t j = 0; j < cells; ++j) {
      row_sum = core::saturating_add(row_sum, row[j]);
      margins.columns[j] = core::saturating_add(margins.columns[j], row[j]);
    }
    margins.rows.push_back(row_sum);
  }
  return margins;
}

namespace {

double mutual_information_of(const CountTable& table, const TableMargins& margins,
                             std::uint64_t total) {
  const double n = static_cast<double>(total);
  const std::size_t columns = margins.columns.size();
  double mi = 0.0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    const double row_share = static_cast<double>(margins.rows[i]) / n;
    const std::size_t cells = std::min(row.size(), columns);
    for (std::size_t j = 0; j < cells; ++j) {
      if (row[j] == 0) continue;
      const double p = static_cast<double>(row[j]) / n;
      const double column_share = static_cast<double>(margins.columns[j]) / n;
      mi += p * std::log2(p / (row_share * column_share));
    }
  }
  return mi;
}

bool is_degenerate(const CountTable& table, std::uint64_t total) {
  return table.empty() || total == 0 || table.front().empty();
}

}  // namespace

double mutual_information(const CountTable& table, std::uint64_t total) {
  if (is_degenerate(table, total)) return 0.0;
  return mutual_information_of(table, table_margins(table), total);
}

double normalized_mutual_information(const CountTable& table, std::uint64_t total) {
  if (is_degenerate(table, total)) return 0.0;
  return mutual_information_with_margins(table, table_margins(table), total).nmi;
}

MutualInformation mutual_information_with_margins(const CountTable& table,
                                                  const TableMargins& margins,
                                                  std::uint64_t total) {
  if (is_degenerate(table, total)) return {};
  MutualInformation measures;
  measures.mi = mutual_information_of(table, margins, total);
  // Margins without mixing have an entropy of -0.0, which must count as not positive.
  const double denominator = std::fmin(core::entropy_of_counts(margins.rows, total),
                                       core::entropy_of_counts(margins.columns, total));
  if (denominator > 0.0) measures.nmi = std::clamp(measures.mi / denominator, 0.0, 1.0);
  return measures;
}

}  // namespace quib::math
