#include "math/rebin.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quib::math {
namespace {

// Rounded half away from zero; negative and NaN shares give 0.
std::uint64_t rounded_count(double share) {
  const double rounded = std::round(share);
  if (!(rounded > 0.0)) return 0;
  if (rounded >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(rounded);
}

struct Grid {
  double min;
  double width;
  std::uint64_t bins;
};

// Adds the shares of `count`, spread evenly over [lo, lo + width), to the target bins it meets.
void spread(std::uint64_t count, double lo, double width, const Grid& target,
            std::vector<std::uint64_t>& out) {
  const double hi = width + lo;
  const auto bin_of = [&](double x) {
    return core::clamped_bin_index((x - target.min) / target.width, target.bins);
  };
  const std::uint64_t last = bin_of(hi);
  for (std::uint64_t j = bin_of(lo); j <= last; ++j) {
    const double new_lo = target.min + target.width * static_cast<double>(j);
    const double new_hi = target.width + new_lo;
    const double overlap = std::fmax(std::fmin(hi, new_hi) - std::fmax(lo, new_lo), 0.0);
    // A source of zero width gives 0/0 here: NaN, which the rounding turns into nothing.
    const double fraction = overlap / width;
    if (fraction <= 0.0) continue;
    out[j] = core::saturating_add(out[j], rounded_count(fraction * static_cast<double>(count)));
  }
}

}  // namespace

std::optional<core::DistributionRepr> rebin_histogram(const core::DistributionRepr& source,
                                                      std::uint64_t bins, double min, double max) {
  const auto* histogram = source.get_if<core::DistributionRepr::Histogram>();
  if (histogram == nullptr || bins == 0) return std::nullopt;
  const Grid target{min, (max - min) / static_cast<double>(bins), bins};
  // Built in place: the first alternative of a default repr is an empty histogram.
  std::optional<core::DistributionRepr> result;
  result.emplace();
  auto& out = std::get<core::DistributionRepr::Histogram>(result->value);
  out.min = min;
  out.max = max;
  out.bin_counts.assign(bins, 0);

  const auto& counts = histogram->bin_counts;
  const double old_width =
      counts.empty() ? 0.0 : (histogram->max - histogram->min) / static_cast<double>(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] == 0) continue;
    const double lo = histogram->min + old_width * static_cast<double>(i);
    spread(counts[i], lo, old_width, target, out.bin_counts);
  }
  for (std::uint64_t count : out.bin_counts) {
    out.total_count = core::saturating_add(out.total_count, count);
  }
  return result;
}

namespace {

// Later positions overwrite earlier ones, so a repeated name keeps its last count.
void place_counts(std::span<const std::string> names, std::span<const std::uint64_t> counts,
                  const std::vector<std::string>& union_names, std::vector<std::uint64_t>& out) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto at = std::lower_bound(union_names.begin(), union_names.end(), names[i]);
    out[static_cast<std::size_t>(at - union_names.begin())] = i < counts.size() ? counts[i] : 0;
  }
}

}  // namespace

AlignedCategories align_categorical(std::span<const std::string> categories_a,
                                    std::span<const std::uint64_t> counts_a,
                                    std::span<const std::string> categories_b,
                                    std::span<const std::uint64_t> counts_b) {
  AlignedCategories aligned;
  auto& names = aligned.categories;
  names.reserve(categories_a.size() + categories_b.size());
  names.insert(names.end(), categories_a.begin(), categories_a.end());
  names.insert(names.end(), categories_b.begin(), categories_b.end());
  // std::string compares as unsigned bytes, which is the byte order of the UTF-8 text.
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  aligned.a.assign(names.size(), 0);
  aligned.b.assign(names.size(), 0);
  place_counts(categories_a, counts_a, names, aligned.a);
  place_counts(categories_b, counts_b, names, aligned.b);
  return aligned;
}

}  // namespace quib::math
