// The returning form of date bucketing, for the tests that pin its texts; ingestion appends the
// bucketed value in place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ingest/dates.h"

namespace quib::ingest::dates {

inline std::string normalize_dimension_value(std::string_view value,
                                             const std::optional<std::string>& granularity) {
  std::string out;
  append_normalized(out, value, granularity_of(granularity));
  return out;
}

}  // namespace quib::ingest::dates
