// Cramer's V of a count table, without bias correction: the chi-squared statistic against the
// table's own margins, scaled into [0, 1].
//
// The table is read as `mutual_info.h` describes (C columns from the first row, missing cells as
// zeros, sums saturating). Expected counts use the total the caller passes.
#pragma once

#include <cstdint>

#include "math/mutual_info.h"

namespace quib::math {

// 0.0 for an empty table, a zero total, or a table of one row or one column; at most 1.0.
double cramers_v(const CountTable& table, std::uint64_t total);
// The same with the table's own margins already at hand.
double cramers_v(const CountTable& table, const TableMargins& margins, std::uint64_t total);

}  // namespace quib::math
