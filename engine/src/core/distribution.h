// Distributions: the counts of one variable under one dimension key, and the joint counts of a
// pair of variables. Field and alternative orders are the stored orders of both encodings.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/category_list.h"
#include "core/dimension_key.h"
#include "core/schema.h"
#include "core/shared_text.h"

namespace quib::core {

struct ReprHistogram {
  double min = 0.0;
  double max = 1.0;
  std::vector<std::uint64_t> bin_counts;
  std::uint64_t total_count = 0;
  bool operator==(const ReprHistogram&) const = default;
};

struct ReprCategorical {
  CategoryList categories;  // usually the variable's own list, shared
  std::vector<std::uint64_t> counts;
  std::uint64_t unknown_count = 0;
  std::uint64_t total_count = 0;
  bool operator==(const ReprCategorical&) const = default;
};

// The most cells (bins, categories, or cells of a joint) that a distribution may count. Beyond it
// the counts of one distribution alone would take more than 128 MiB; a stored schema that asks
// for more is refused at ingest rather than attempted.
inline constexpr std::uint64_t kMaxCountedCells = std::uint64_t{1} << 24;

struct DistributionRepr {
  using Histogram = ReprHistogram;
  using Categorical = ReprCategorical;

  std::variant<Histogram, Categorical> value;

  // An empty repr shaped by the variable's definition (`allow_unknown` is not carried over).
  static DistributionRepr from_variable(const VariableType& var_type);

  template <typename T>
  T* get_if() {
    return std::get_if<T>(&value);
  }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  std::uint64_t total_count() const;
  bool operator==(const DistributionRepr&) const = default;
};

// Points the repr's category names at the list `interner` holds for the same names.
void share_categories(DistributionRepr& repr, CategoryInterner& interner);

// Shannon entropy in bits over the cells (the unknown count is not a cell, but is part of the
// total). The sum starts at -0.0, so a total above zero with no mixing gives -0.0; a zero total
// gives +0.0.
double entropy(const DistributionRepr& repr);

// The same sum over any counts, each share taken of `total` (not of the counts' sum).
double entropy_of_counts(std::span<const std::uint64_t> counts, std::uint64_t total);

// The share of `count` in `total`; 0.0 of a zero total.
inline double share(std::uint64_t count, std::uint64_t total) {
  return total == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(total);
}

// The bin of a histogram of `bins` bins that holds a point `position` bin widths above its min:
// floored, saturated to a signed 64-bit integer (NaN gives 0), then clamped to the bins, so
// points below the range fall in the first bin and points at or above the top in the last.
std::uint64_t clamped_bin_index(double position, std::uint64_t bins);

// Counts stop at the top of u64 instead of wrapping to a small number.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

struct DistributionObject {
  std::uint64_t id = 0;
  SharedText variable;  // shared by the variable's distributions
  DimensionKey dimension_key;
  DistributionRepr repr;
  std::uint64_t sample_count = 0;
  double entropy = 0.0;
  std::uint64_t last_updated = 0;
  std::uint64_t version = 1;
  std::pair<std::uint64_t, std::uint64_t> raw_record_range{0, 0};

  // A new distribution stamped with the current time, version 1.
  static DistributionObject create(std::uint64_t id, SharedText variable,
                                   DimensionKey dimension_key, DistributionRepr repr);
  bool operator==(const DistributionObject&) const = default;
};

struct JointHistogramGrid {
  double x_min = 0.0;
  double x_max = 1.0;
  std::uint32_t x_bins = 0;
  double y_min = 0.0;
  double y_max = 1.0;
  std::uint32_t y_bins = 0;
  std::vector<std::vector<std::uint64_t>> counts;  // x_bins rows of y_bins
  std::uint64_t total_count = 0;
  bool operator==(const JointHistogramGrid&) const = default;
};

struct JointContingencyTable {
  CategoryList x_categories;
  CategoryList y_categories;
  std::vector<std::vector<std::uint64_t>> counts;  // one row per x category
  std::uint64_t total_count = 0;
  bool operator==(const JointContingencyTable&) const = default;
};

struct JointConditionalHistograms {
  CategoryList condition_categories;
  std::vector<DistributionRepr> histograms;  // one Histogram per condition category
  std::uint64_t total_count = 0;
  bool operator==(const JointConditionalHistograms&) const = default;
};

struct JointRepr {
  using HistogramGrid = JointHistogramGrid;
  using ContingencyTable = JointContingencyTable;
  using ConditionalHistograms = JointConditionalHistograms;

  std::variant<HistogramGrid, ContingencyTable, ConditionalHistograms> value;

  // The empty joint of x and y, which must already be in byte order of their names.
  static JointRepr empty_for(const VariableDefinition& x, const VariableDefinition& y);

  template <typename T>
  T* get_if() {
    return std::get_if<T>(&value);
  }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  std::uint64_t total_count() const;
  bool operator==(const JointRepr&) const = default;
};

// The same for every category list of a joint.
void share_categories(JointRepr& repr, CategoryInterner& interner);

struct JointDistributionObject {
  std::uint64_t id = 0;
  std::pair<std::string, std::string> variables;  // smaller name first
  DimensionKey dimension_key;
  JointRepr repr;
  std::uint64_t sample_count = 0;
  std::uint64_t last_updated = 0;
  std::uint64_t version = 1;

  // Adds n to cell (i, j) in the stored orientation, saturating like every count; a cell outside
  // the table takes nothing.
  void add_to_cell(std::size_t i, std::size_t j, std::uint64_t n);
  bool operator==(const JointDistributionObject&) const = default;
};

// Whole seconds since the Unix epoch, UTC.
std::uint64_t unix_now();

}  // namespace quib::core
