// Track: one variable along the values of the dimension "time" inside one slice of the other
// dimensions, with the divergence of each step and the steps that stand out from the rest.
//
// Time values are texts, ordered and bounded by their bytes (a proper prefix sorts first), never
// read as dates. Every point and every step side is the slice resolved as a compare resolves
// it: the distribution stored under exactly that key, else the sum of all that hold its pairs.
// So a point's sample count and entropy describe the same counts as the drift next to it, even
// when the stored keys carry more dimensions than the reference names.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "query/parser.h"
#include "query/result_types.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

class QueryCache;

// The dimension whose values a track follows.
inline constexpr std::string_view kTimeDimension = "time";

// Tracks `variable` within `dimensions` (a "time" pair there restricts nothing) over the time
// values between the two inclusive bounds. No distribution in range gives an empty result; a
// failing step compare fails the whole track.
TrackResult execute_track(const storage::Database& db, QueryCache& cache,
                          std::string_view variable, const DimensionMap& dimensions,
                          std::optional<std::string_view> lower_bound,
                          std::optional<std::string_view> upper_bound);

// The level above which a step counts as drift: q3 + 1.5 IQR of the steps (quartiles taken as
// s[m/4] and s[3m/4] of the sorted steps), or three times the median when the steps hardly
// spread. None without steps.
std::optional<double> drift_threshold(std::span<const double> drifts);

// One event per step strictly above a positive threshold, in step order; `times` holds one
// entry more than `drifts`.
std::vector<DriftEvent> drift_events(std::span<const std::string> times,
                                     std::span<const double> drifts);

}  // namespace quib::query
