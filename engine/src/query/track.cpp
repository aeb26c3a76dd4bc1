#include "query/track.h"

#include <algorithm>
#include <compare>
#include <cstddef>
#include <set>
#include <string>
#include <utility>

#include "core/distribution.h"
#include "core/error.h"
#include "core/number_text.h"
#include "query/compare.h"
#include "query/engine.h"
#include "query/planner.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

// The steps hardly spread when their IQR is below this; the median then sets the level.
constexpr double kFlatSpread = 1e-12;

bool within_bounds(std::string_view time, std::optional<std::string_view> lower_bound,
                   std::optional<std::string_view> upper_bound) {
  return (!lower_bound || time >= *lower_bound) && (!upper_bound || time <= *upper_bound);
}

// Whether `key` lies inside the tracked slice; the reference's own "time" pair restricts
// nothing, because the track walks every time value.
bool holds_slice(const core::DimensionKey& key, const DimensionMap& dimensions) {
  return std::all_of(dimensions.begin(), dimensions.end(), [&](const auto& pair) {
    return pair.first == kTimeDimension || core::key_holds(key, pair.first, pair.second);
  });
}

// The time values of the variable's distributions inside the slice and the bounds, byte-ordered.
std::set<std::string> time_values(const storage::Database& db, std::string_view variable,
                                  const DimensionMap& dimensions,
                                  std::optional<std::string_view> lower_bound,
                                  std::optional<std::string_view> upper_bound) {
  const std::string time_name(kTimeDimension);
  std::set<std::string> times;
  for (const core::DistributionObject* distribution : distributions_for_variable(db, variable)) {
    const auto& key = distribution->dimension_key;
    auto time = key.find(time_name);
    if (time == key.end() || !within_bounds(time->second, lower_bound, upper_bound)) continue;
    if (holds_slice(key, dimensions)) times.emplace(time->second);
  }
  return times;
}

}  // namespace

TrackResult execute_track(const storage::Database& db, QueryCache& cache,
                          std::string_view variable, const DimensionMap& dimensions,
                          std::optional<std::string_view> lower_bound,
                          std::optional<std::string_view> upper_bound) {
  const std::set<std::string> times =
      time_values(db, variable, dimensions, lower_bound, upper_bound);
  TrackResult result;
  result.times.assign(times.begin(), times.end());
  result.entropies.reserve(times.size());
  result.points.reserve(times.size());
  std::vector<DimensionMap> slices;
  slices.reserve(times.size());
  SideResolver sides(db);
  for (const std::string& time : result.times) {
    DimensionMap slice = dimensions;
    slice.insert_or_assign(std::string(kTimeDimension), time);
    // The same resolution that the step compares use, so the point describes the counts the
    // drift is measured on.
    const ResolvedSide& side = sides.resolve(variable, slice);
    const double entropy = side.entropy();
    std::string label(variable);
    label.push_back('|');
    label.append(time);
    result.points.push_back({std::move(label), side.sample_count(), entropy, side.first().version});
    result.entropies.push_back(entropy);
    slices.push_back(std::move(slice));
  }
  for (std::size_t i = 1; i < slices.size(); ++i) {
    result.drifts.push_back(execute_compare(sides, cache, variable, slices[i - 1], slices[i]).jsd);
  }
  result.drift_events = drift_events(result.times, result.drifts);
  return result;
}

std::optional<double> drift_threshold(std::span<const double> drifts) {
  if (drifts.empty()) return std::nullopt;
  std::vector<double> sorted(drifts.begin(), drifts.end());
  std::sort(sorted.begin(), sorted.end(),
            [](double x, double y) { return std::strong_order(x, y) < 0; });
  const std::size_t m = sorted.size();
  const double q1 = sorted[m / 4];
  const double q3 = sorted[(3 * m) / 4];
  const double iqr = q3 - q1;
  if (iqr < kFlatSpread) return sorted[m / 2] * 3.0;
  return q3 + 1.5 * iqr;
}

std::vector<DriftEvent> drift_events(std::span<const std::string> times,
                                     std::span<const double> drifts) {
  std::vector<DriftEvent> events;
  const std::optional<double> threshold = drift_threshold(drifts);
  if (!threshold || !(*threshold > 0.0)) return events;
  std::string message = "drift exceeded threshold ";
  core::number_text::append_fixed(message, *threshold, 4);
  message.append(" (IQR-based)");
  for (std::size_t i = 0; i < drifts.size(); ++i) {
    if (drifts[i] > *threshold) events.push_back({times[i], times[i + 1], message, drifts[i]});
  }
  return events;
}

TrackResult QueryEngine::track(const storage::Database& db, std::string_view reference,
                               std::optional<std::string_view> lower_bound,
                               std::optional<std::string_view> upper_bound,
                               std::optional<std::string_view> /*granularity*/) const {
  const QueryReference parsed = parse_reference(reference);
  std::string variable;
  if (parsed.variable) {
    variable = *parsed.variable;
  } else if (!db.schema().variables.empty()) {
    variable = db.schema().variables.front().name;
  } else {
    throw Error("no variable available in schema");
  }
  return execute_track(db, *cache_, variable, parsed.dimensions, lower_bound, upper_bound);
}

}  // namespace quib::query
