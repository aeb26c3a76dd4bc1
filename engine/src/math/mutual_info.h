// Mutual information of a count table, and its normalised form, in bits.
//
// A count table is read as R rows by C columns, C being the length of its first row: a shorter
// row reads as zeros in its missing cells and the cells of a longer row past C are ignored, so a
// ragged table never reads out of bounds. Row and column sums stop at 2^64 - 1 instead of
// wrapping. Shares are taken of the total the caller passes, which may exceed the cells' sum
// (a categorical total includes its unknown count); the measures use those shares as they are.
#pragma once

#include <cstdint>
#include <vector>

namespace quib::math {

using CountTable = std::vector<std::vector<std::uint64_t>>;

// Row sums (one per row) and column sums (one per column of the first row).
struct TableMargins {
  std::vector<std::uint64_t> rows;
  std::vector<std::uint64_t> columns;
};
TableMargins table_margins(const CountTable& table);

// 0.0 for an empty table, an empty first row or a zero total; not clamped.
double mutual_information(const CountTable& table, std::uint64_t total);

// Mutual information over the smaller of the two margins' entropies, clamped to [0, 1]; 0.0 when
// either entropy is not positive.
double normalized_mutual_information(const CountTable& table, std::uint64_t total);

// Both of the above from one set of margins and one pass over the cells, for callers that report
// both; the same figures as the two calls apart. `margins` are the table's own.
struct MutualInformation {
  double mi = 0.0;
  double nmi = 0.0;
};
MutualInformation mutual_information_with_margins(const CountTable& table,
                                                  const TableMargins& margins,
                                                  std::uint64_t total);

}  // namespace quib::math
