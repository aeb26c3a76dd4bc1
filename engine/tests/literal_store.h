// The database's counting and raw-log operations written literally, one call per delta, per
// pair and per record: the independent oracle that the tests hold the batch writer's counting
// (storage/dist_store.h `distribution_at`, `finalize_distribution_at`, `append_raw_lines`) to.
// Each goes through the database's public operations only, so its refusals and failures are the
// database's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/dimension_key.h"
#include "core/distribution.h"
#include "core/json.h"
#include "core/json_writer.h"
#include "storage/dist_store.h"
#include "storage/raw_log.h"

namespace quib::storage::literal {

// One variable's contribution of one row: the unknown bucket, a category position or a bin.
struct SingleDeltaUnknown {
  bool operator==(const SingleDeltaUnknown&) const = default;
};
struct SingleDeltaCategory {
  std::uint64_t index = 0;
  bool operator==(const SingleDeltaCategory&) const = default;
};
struct SingleDeltaBin {
  std::uint64_t index = 0;
  bool operator==(const SingleDeltaBin&) const = default;
};

struct SingleDelta {
  using Unknown = SingleDeltaUnknown;
  using Category = SingleDeltaCategory;
  using Bin = SingleDeltaBin;

  std::variant<Unknown, Category, Bin> value;

  bool operator==(const SingleDelta&) const = default;
};

struct SingleDeltaHash {
  std::size_t operator()(const SingleDelta& delta) const noexcept {
    std::uint64_t index = 0;
    if (const auto* category = std::get_if<SingleDelta::Category>(&delta.value)) {
      index = category->index;
    } else if (const auto* bin = std::get_if<SingleDelta::Bin>(&delta.value)) {
      index = bin->index;
    }
    return std::hash<std::uint64_t>{}(index * 4 + delta.value.index());
  }
};

// The counts of one (variable, dimension key) gathered over a batch. The categorical form holds
// `Unknown` and `Category` keys; the histogram form holds bin indices.
struct CountDeltaCategorical {
  std::unordered_map<SingleDelta, std::uint64_t, SingleDeltaHash> counts;
  bool operator==(const CountDeltaCategorical&) const = default;
};
struct CountDeltaHistogram {
  std::unordered_map<std::uint64_t, std::uint64_t> counts;
  bool operator==(const CountDeltaHistogram&) const = default;
};

struct CountDelta {
  using Categorical = CountDeltaCategorical;
  using Histogram = CountDeltaHistogram;

  std::variant<Categorical, Histogram> value;

  // An empty delta of the form that `first` fixes: a bin gives the histogram form, the two
  // others the categorical form.
  static CountDelta shaped_by(const SingleDelta& first) {
    if (std::holds_alternative<SingleDelta::Bin>(first.value)) return CountDelta{Histogram{}};
    return CountDelta{Categorical{}};
  }
  // Adds n under `delta`; a delta of the other form than this one is not counted.
  void add(const SingleDelta& delta, std::uint64_t n = 1) {
    if (const auto* bin = std::get_if<SingleDelta::Bin>(&delta.value)) {
      if (auto* histogram = std::get_if<Histogram>(&value)) histogram->counts[bin->index] += n;
    } else if (auto* categorical = std::get_if<Categorical>(&value)) {
      categorical->counts[delta] += n;
    }
  }

  bool operator==(const CountDelta&) const = default;
};

// The position of `distribution`, which must be one of the database's.
inline std::size_t position_in(const Database& db, const core::DistributionObject& distribution) {
  return static_cast<std::size_t>(&distribution - db.distributions().data());
}

// Adds a batch's counts to the distribution (created when missing): a category or bin outside
// the distribution counts only in its total, and a delta of the other form changes nothing.
inline void increment_distribution(Database& db, std::string_view variable,
                                   const core::DimensionKey& key, const CountDelta& delta) {
  auto& repr = db.distribution_at(db.ensure_distribution_position(variable, key)).repr;
  if (auto* categorical = repr.get_if<core::DistributionRepr::Categorical>()) {
    const auto* counts = std::get_if<CountDelta::Categorical>(&delta.value);
    if (counts == nullptr) return;
    for (const auto& [single, n] : counts->counts) {
      if (const auto* category = std::get_if<SingleDelta::Category>(&single.value)) {
        if (category->index < categorical->counts.size()) categorical->counts[category->index] += n;
      } else {
        categorical->unknown_count += n;
      }
      categorical->total_count += n;
    }
  } else if (auto* histogram = repr.get_if<core::DistributionRepr::Histogram>()) {
    const auto* counts = std::get_if<CountDelta::Histogram>(&delta.value);
    if (counts == nullptr) return;
    for (const auto& [bin, n] : counts->counts) {
      if (bin < histogram->bin_counts.size()) histogram->bin_counts[bin] += n;
      histogram->total_count += n;
    }
  }
}

// Brings sample count, entropy, timestamp and version of every touched distribution up to
// date, with one reading of the clock; pairs without a distribution are skipped.
inline void finalize_distributions(
    Database& db, std::span<const std::pair<std::string, core::DimensionKey>> touched) {
  if (touched.empty()) return;
  const std::uint64_t now = core::unix_now();
  for (const auto& [variable, key] : touched) {
    if (const auto* distribution = db.find_distribution(variable, key)) {
      db.finalize_distribution_at(position_in(db, *distribution), now, 1);
    }
  }
}

// The raw-log line of one record, line feed included.
inline void append_raw_line(std::string& out, std::uint64_t record_id,
                            const core::json::Value& payload) {
  append_raw_line_text(out, record_id, core::json::to_string(payload));
}

// Appends `payloads[i]` as record `first_record_id + i`, each line in a write of its own;
// `written` receives the number of lines that reached the file whole.
inline void append_many(const RawLog& log, std::uint64_t first_record_id,
                        std::span<const core::json::Value> payloads, std::size_t& written) {
  std::vector<std::string> lines(payloads.size());
  std::vector<std::size_t> ends(payloads.size());
  std::vector<RawLines> pieces;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    append_raw_line(lines[i], first_record_id + i, payloads[i]);
    ends[i] = lines[i].size();
    pieces.push_back(RawLines{lines[i], std::span(ends).subspan(i, 1)});
  }
  log.append_lines(pieces, written);
}

inline void append(const RawLog& log, std::uint64_t record_id, const core::json::Value& payload) {
  std::size_t written = 0;
  append_many(log, record_id, std::span(&payload, 1), written);
}

// One raw-log record per payload, with consecutive record ids; a failing record keeps its id.
inline void append_raw_records(Database& db, std::span<const core::json::Value> payloads) {
  std::string text;
  std::vector<std::size_t> ends;
  const std::uint64_t first = db.meta().next_raw_record_id;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    append_raw_line(text, first + i, payloads[i]);
    ends.push_back(text.size());
  }
  const RawLines piece{text, ends};
  db.append_raw_lines(first, std::span(&piece, 1));
}

inline void append_raw_record(Database& db, const core::json::Value& payload) {
  append_raw_records(db, std::span(&payload, 1));
}

}  // namespace quib::storage::literal
