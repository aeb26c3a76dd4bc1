// One open database: a directory whose four container files (meta, distributions, index,
// snapshots) are read whole into memory at open and written back whole at flush, together with
// its lock file and its raw log.
//
// Contract:
// - A read-write `Database` holds the directory's exclusive lock from open until it is destroyed;
//   a second read-write open of the same directory waits in another process and fails at once in
//   this one. A read-only `Database` takes no lock, refuses definitions, increments and raw
//   records with "database opened in read-only mode", and its flush writes nothing.
// - Changes live in memory until `flush`; destroying a `Database` never writes.
// - Exact (variable, dimension key) lookups go through the index, but an index entry is only a
//   candidate: two keys can share one canonical text, and counts under each key always land in
//   that key's own distribution.
// - One thread at a time. Pointers returned by the lookups stay valid until the next call that
//   creates a distribution or joint distribution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
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
#include "core/schema.h"
#include "storage/dist_index.h"
#include "storage/file_format.h"
#include "storage/lock.h"
#include "storage/raw_log.h"
#include "storage/snapshot_store.h"

namespace quib::storage {

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
  static CountDelta shaped_by(const SingleDelta& first);
  // Adds n under `delta`; a delta of the other form than this one is not counted.
  void add(const SingleDelta& delta, std::uint64_t n = 1);

  bool operator==(const CountDelta&) const = default;
};

struct DatabaseStats {
  std::uint64_t distributions = 0;  // joint distributions not counted
  std::uint64_t total_samples = 0;  // sum of the distributions' sample counts
  std::uint64_t variables = 0;
  std::uint64_t dimensions = 0;
  bool operator==(const DatabaseStats&) const = default;
};

class Database {
 public:
  // Creates the directory (and `raw/` when asked) and every missing record file, leaving existing
  // files as they are, then opens the database read-write.
  static Database create_with_options(const std::string& path, bool raw_log_enabled);
  // Opens an existing database; read-write takes the lock (and waits for it), read-only maps
  // `distributions.edb` and takes no lock.
  static Database open(const std::string& path, bool read_write);

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Writes the four record files in order (meta, distributions, index, snapshots); the first
  // failure stops it. A read-only database writes nothing and succeeds.
  void flush();

  void define_variable(core::VariableDefinition definition);
  void define_dimension(core::DimensionDefinition definition);

  // The id of the distribution of `variable` under exactly `key`, created empty when missing.
  // An index entry whose id has no distribution is handed back unchanged.
  std::uint64_t ensure_distribution(std::string_view variable, const core::DimensionKey& key);
  // Adds a batch's counts to the distribution (created when missing). A delta of the other form
  // than the distribution changes nothing.
  void increment_distribution(std::string_view variable, const core::DimensionKey& key,
                              const CountDelta& delta);
  // For writers that find a distribution once and then update it batch after batch: the position
  // in `distributions()` of the distribution of `variable` under exactly `key`, created empty
  // when missing, refused and failing as `increment_distribution` would. A position stays valid
  // for the life of this `Database`.
  std::size_t ensure_distribution_position(std::string_view variable,
                                           const core::DimensionKey& key);
  core::DistributionObject& distribution_at(std::size_t position) {
    return dist_file_.distributions[position];
  }
  // Finalises the distribution at `position` as `batches` successive calls of
  // `finalize_distribution` would, the last of them at `now`.
  void finalize_distribution_at(std::size_t position, std::uint64_t now, std::uint64_t batches);
  // Brings sample count, entropy, timestamp and version of every touched distribution up to
  // date; pairs without a distribution are skipped. Never fails.
  void finalize_distributions(std::span<const std::pair<std::string, core::DimensionKey>> touched);
  // The same for one pair, for callers that keep the touched set in their own container; `now`
  // is read once per batch with `core::unix_now()`.
  void finalize_distribution(std::string_view variable, const core::DimensionKey& key,
                             std::uint64_t now);

  // Joint distributions: the two names in either order; stored with the byte-wise smaller first.
  void ensure_joint_distribution(std::string_view a, std::string_view b,
                                 const core::DimensionKey& key);
  const core::JointDistributionObject* get_joint_distribution(std::string_view a,
                                                              std::string_view b,
                                                              const core::DimensionKey& key) const;
  core::JointDistributionObject* get_joint_distribution_mut(std::string_view a, std::string_view b,
                                                            const core::DimensionKey& key);

  // The first distribution of `variable` in storage order whose key holds every pair given.
  const core::DistributionObject* find_distribution_by_reference(
      std::string_view variable, const core::DimensionKey& pairs) const;
  // Every value that a distribution's key holds for `dimension`, in byte order.
  std::set<std::string> dimension_values(std::string_view dimension) const;
  DatabaseStats stats() const;

  // Appends one raw-log line when the raw log is on; the record id is taken even when the append
  // fails. Without a raw log nothing happens and no id is taken.
  void append_raw_record(const core::json::Value& payload);
  // Appends one line per payload, in order, with consecutive record ids, gathered into large
  // writes: the file and the ids are those of one `append_raw_record` per payload, including
  // on failure (the lines before the failing one stay, and the failing one takes its id).
  void append_raw_records(std::span<const core::json::Value> payloads);
  // The same for lines that writers rendered themselves with `append_raw_line_text`, for the
  // record ids from `first_record_id` on, which must be the next record id.
  void append_raw_lines(std::uint64_t first_record_id, std::span<const RawLines> pieces);

  // Exact lookups for the query side: the distribution of `variable` under exactly `key`, and
  // the first distribution in storage order with `id`; null when there is none.
  const core::DistributionObject* find_distribution(std::string_view variable,
                                                    const core::DimensionKey& key) const;
  const core::DistributionObject* distribution_by_id(std::uint64_t id) const;
  // Positions in `distributions()` of every distribution of `variable` (name equal byte for
  // byte), in storage order, without visiting the other variables' distributions.
  std::span<const std::size_t> positions_of_variable(std::string_view variable) const;

  const std::string& root() const { return root_; }
  bool writable() const { return writable_; }
  bool has_raw_log() const { return raw_log_.has_value(); }
  const MetaFile& meta() const { return meta_; }
  const core::Schema& schema() const { return meta_.schema; }
  const DistributionFile& dist_file() const { return dist_file_; }
  const std::vector<core::DistributionObject>& distributions() const {
    return dist_file_.distributions;
  }
  const std::vector<core::JointDistributionObject>& joints() const { return dist_file_.joints; }
  const DistIndex& index() const { return index_; }
  const SnapshotStore& snapshots() const { return snapshots_; }

 private:
  static constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

  // Where an exact lookup leads: the id the index hands out (or none) and the position of the
  // distribution that really carries the key (or kNoPosition).
  struct Located {
    std::optional<std::uint64_t> id;
    std::size_t position = kNoPosition;
  };

  Database() = default;
  Located locate(std::string_view variable, const core::DimensionKey& key) const;
  std::size_t position_of(std::uint64_t id) const;
  std::size_t joint_position(std::string_view x, std::string_view y,
                             const core::DimensionKey& key) const;
  void check_writable() const;
  void rebuild_lookups();
  void note_dimension_values(const core::DimensionKey& key);

  std::string root_;
  MetaFile meta_;
  DistributionFile dist_file_;
  std::optional<RawLog> raw_log_;
  DistIndex index_;
  SnapshotStore snapshots_;
  std::optional<DatabaseLock> lock_;
  bool writable_ = false;

  // id -> position of the first distribution with that id.
  std::unordered_map<std::uint64_t, std::size_t> position_by_id_;
  // variable name -> positions of its distributions in storage order.
  std::map<std::string, std::vector<std::size_t>, std::less<>> positions_by_variable_;
  // dimension name -> every value that a distribution's key holds for it. Keys never change once
  // a distribution exists, so a new distribution can only add values.
  std::map<std::string, std::set<std::string>, std::less<>> values_by_dimension_;
  // joint lookup text -> positions in storage order; shared texts are told apart by comparing.
  std::unordered_map<std::string, std::vector<std::size_t>> joint_positions_;
};

}  // namespace quib::storage
