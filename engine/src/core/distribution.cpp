#include "core/distribution.h"

#include <chrono>
#include <cmath>

namespace quib::core {
namespace {

std::pair<double, double> range_or_unit(const VariableType::Continuous& continuous) {
  return continuous.range.value_or(std::pair{0.0, 1.0});
}

DistributionRepr::Histogram empty_histogram(const VariableType::Continuous& continuous) {
  auto [min, max] = range_or_unit(continuous);
  return {min, max, std::vector<std::uint64_t>(continuous.bins, 0), 0};
}

}  // namespace

DistributionRepr DistributionRepr::from_variable(const VariableType& var_type) {
  if (auto* continuous = var_type.get_if<VariableType::Continuous>()) {
    return {empty_histogram(*continuous)};
  }
  const auto& categorical = std::get<VariableType::Categorical>(var_type.value);
  return {Categorical{categorical.categories,
                      std::vector<std::uint64_t>(categorical.categories.size(), 0), 0, 0}};
}

void share_categories(DistributionRepr& repr, CategoryInterner& interner) {
  if (auto* categorical = repr.get_if<DistributionRepr::Categorical>()) {
    categorical->categories = interner.intern(categorical->categories);
  }
}

void share_categories(JointRepr& repr, CategoryInterner& interner) {
  if (auto* table = repr.get_if<JointRepr::ContingencyTable>()) {
    table->x_categories = interner.intern(table->x_categories);
    table->y_categories = interner.intern(table->y_categories);
  } else if (auto* conditional = repr.get_if<JointRepr::ConditionalHistograms>()) {
    conditional->condition_categories = interner.intern(conditional->condition_categories);
  }
}

double entropy_of_counts(std::span<const std::uint64_t> counts, std::uint64_t total) {
  if (total == 0) return 0.0;
  double sum = -0.0;
  const double n = static_cast<double>(total);
  for (std::uint64_t count : counts) {
    if (count == 0) continue;
    const double p = static_cast<double>(count) / n;
    sum += -(p * std::log2(p));
  }
  return sum;
}

std::uint64_t clamped_bin_index(double position, std::uint64_t bins) {
  // Inside the range, truncation is the floor; NaN fails the test and takes the long road. Up to
  // 2^53 bins every bin count is exact as a double, so the truncation stays below it.
  constexpr std::uint64_t kExactBins = std::uint64_t{1} << 53;
  if (bins <= kExactBins && position >= 0.0 && position < static_cast<double>(bins)) {
    return static_cast<std::uint64_t>(position);
  }
  const double floored = std::floor(position);
  std::int64_t index = 0;
  if (std::isnan(floored)) {
    index = 0;
  } else if (floored >= 9.223372036854775807e18) {
    index = std::numeric_limits<std::int64_t>::max();
  } else if (floored <= -9.223372036854775808e18) {
    index = std::numeric_limits<std::int64_t>::min();
  } else {
    index = static_cast<std::int64_t>(floored);
  }
  if (index < 0 || bins == 0) return 0;
  const std::uint64_t last = bins - 1;
  return static_cast<std::uint64_t>(index) > last ? last : static_cast<std::uint64_t>(index);
}

std::uint64_t DistributionRepr::total_count() const {
  return std::visit([](const auto& repr) { return repr.total_count; }, value);
}

double entropy(const DistributionRepr& repr) {
  if (auto* histogram = repr.get_if<DistributionRepr::Histogram>()) {
    return entropy_of_counts(histogram->bin_counts, histogram->total_count);
  }
  const auto& categorical = std::get<DistributionRepr::Categorical>(repr.value);
  return entropy_of_counts(categorical.counts, categorical.total_count);
}

DistributionObject DistributionObject::create(std::uint64_t id, SharedText variable,
                                              DimensionKey dimension_key, DistributionRepr repr) {
  DistributionObject object;
  object.id = id;
  object.variable = std::move(variable);
  object.dimension_key = std::move(dimension_key);
  object.sample_count = repr.total_count();
  object.repr = std::move(repr);
  object.entropy = 0.0;
  object.last_updated = unix_now();
  object.version = 1;
  object.raw_record_range = {0, 0};
  return object;
}

JointRepr JointRepr::empty_for(const VariableDefinition& x, const VariableDefinition& y) {
  const auto* x_cat = x.var_type.get_if<VariableType::Categorical>();
  const auto* y_cat = y.var_type.get_if<VariableType::Categorical>();
  const auto* x_cont = x.var_type.get_if<VariableType::Continuous>();
  const auto* y_cont = y.var_type.get_if<VariableType::Continuous>();
  if (x_cat && y_cat) {
    std::vector<std::vector<std::uint64_t>> counts(
        x_cat->categories.size(), std::vector<std::uint64_t>(y_cat->categories.size(), 0));
    return {ContingencyTable{x_cat->categories, y_cat->categories, std::move(counts), 0}};
  }
  if (x_cont && y_cont) {
    auto [x_min, x_max] = range_or_unit(*x_cont);
    auto [y_min, y_max] = range_or_unit(*y_cont);
    std::vector<std::vector<std::uint64_t>> counts(x_cont->bins,
                                                   std::vector<std::uint64_t>(y_cont->bins, 0));
    return {HistogramGrid{x_min, x_max, x_cont->bins, y_min, y_max, y_cont->bins,
                          std::move(counts), 0}};
  }
  const auto& categorical = x_cat ? *x_cat : *y_cat;
  const auto& continuous = x_cont ? *x_cont : *y_cont;
  std::vector<DistributionRepr> histograms(categorical.categories.size(),
                                           DistributionRepr{empty_histogram(continuous)});
  return {ConditionalHistograms{categorical.categories, std::move(histograms), 0}};
}

std::uint64_t JointRepr::total_count() const {
  return std::visit([](const auto& repr) { return repr.total_count; }, value);
}

void JointDistributionObject::add_to_cell(std::size_t i, std::size_t j, std::uint64_t n) {
  auto add_to_grid = [&](auto& grid) {
    if (i >= grid.counts.size() || j >= grid.counts[i].size()) return false;
    grid.counts[i][j] = saturating_add(grid.counts[i][j], n);
    grid.total_count = saturating_add(grid.total_count, n);
    return true;
  };
  bool added = false;
  if (auto* grid = repr.get_if<JointRepr::HistogramGrid>()) {
    added = add_to_grid(*grid);
  } else if (auto* table = repr.get_if<JointRepr::ContingencyTable>()) {
    added = add_to_grid(*table);
  } else {
    auto& conditional = std::get<JointRepr::ConditionalHistograms>(repr.value);
    if (i < conditional.histograms.size()) {
      auto* histogram = conditional.histograms[i].get_if<DistributionRepr::Histogram>();
      if (histogram != nullptr && j < histogram->bin_counts.size()) {
        histogram->bin_counts[j] = saturating_add(histogram->bin_counts[j], n);
        histogram->total_count = saturating_add(histogram->total_count, n);
        conditional.total_count = saturating_add(conditional.total_count, n);
        added = true;
      }
    }
  }
  if (added) sample_count = saturating_add(sample_count, n);
}

std::uint64_t unix_now() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace quib::core
