// One open database: a directory whose four container files (meta, distributions, index,
// snapshots) are read whole into memory at open and written back whole at flush, together with
// its lock file and its raw log.
//
// Contract:
// - A read-write `Database` holds the directory's exclusive lock from open until it is destroyed;
//   a second read-write open of the same directory waits in another process and fails at once in
//   this one. A read-only `Database` takes no lock, refuses definitions, new distributions and
//   raw-log lines with "database opened in read-only mode", and its flush writes nothing.
// - Changes live in memory until `flush`; destroying a `Database` never writes. A flush with
//   nothing changed since the open or the last successful flush writes nothing either.
// - Every distribution and joint distribution under one dimension key shares one copy of it, so
//   exact (variable, dimension key) lookups compare the shared copy, never the key's text: two
//   keys can share one canonical text, and counts under each key always land in that key's own
//   distribution. The index of key texts is made from the distributions when it is written.
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
#include <vector>

#include "core/dimension_key.h"
#include "core/distribution.h"
#include "core/flat_index.h"
#include "core/schema.h"
#include "storage/dist_index.h"
#include "storage/file_format.h"
#include "storage/id_positions.h"
#include "storage/records.h"
#include "storage/lock.h"
#include "storage/raw_log.h"

namespace quib::storage {

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

  // Replaces the four record files together: each is written and synced as a temporary first,
  // then they are renamed into place in the order meta, distributions, index, snapshots, so
  // that each stays derivable from those before it. A failure leaves the old files in place (a
  // rename or directory sync that fails after the first rename puts the old files back before
  // the error is raised, and the message says when even that failed). Writes nothing, and
  // succeeds, when the database is read-only or nothing changed since the open or the last
  // successful flush; a file missing at a read-write open counts as a change.
  void flush();

  // ---- Writing: the operations of ingestion. ----
  // Definitions, distributions and raw-log lines are refused on a read-only database with
  // "database opened in read-only mode"; finalising and joint distributions are not checked,
  // since ingestion reaches them only after a checked step.

  void define_variable(core::VariableDefinition definition);
  void define_dimension(core::DimensionDefinition definition);

  // The id of the distribution of `variable` under exactly `key`, created empty when missing.
  // Not checked. Creating fails, changing nothing, when the id counter is exhausted.
  std::uint64_t ensure_distribution(std::string_view variable, const core::DimensionKey& key);
  // For writers that find a distribution once and then update it batch after batch: the position
  // in `distributions()` of the distribution of `variable` under exactly `key`, created empty
  // when missing. Fails with "unknown variable '{}'", and, when the index leads nowhere after
  // the creation, "distribution index missing after ensure" or "distribution id '{}' not found".
  // A position stays valid for the life of this `Database`.
  std::size_t ensure_distribution_position(std::string_view variable,
                                           const core::DimensionKey& key);
  core::DistributionObject& distribution_at(std::size_t position);
  // Brings the distribution at `position` up to date after `batches` batches counted it, the
  // last at `now`: sample count and entropy from its counts, `last_updated` = now, and the
  // version raised once per batch.
  void finalize_distribution_at(std::size_t position, std::uint64_t now, std::uint64_t batches);
  // Joint distributions: the two names in either order; stored with the byte-wise smaller first.
  // Creating fails, changing nothing, when the joint id counter is exhausted.
  void ensure_joint_distribution(std::string_view a, std::string_view b,
                                 const core::DimensionKey& key);
  core::JointDistributionObject* get_joint_distribution_mut(std::string_view a, std::string_view b,
                                                            const core::DimensionKey& key);
  // For writers whose step can run out of memory half-way: `rollback` removes every
  // distribution and joint distribution created since `mark`, with their index entries, and
  // resets the id counters. Positions below the mark stay valid.
  struct Mark {
    std::size_t distributions = 0;
    std::size_t joints = 0;
    std::uint64_t next_distribution_id = 0;
    std::uint64_t next_joint_id = 0;
  };
  Mark mark() const;
  void rollback(const Mark& mark);

  // An ingest call lands whole or not at all. Between `begin_change` and `end_change`, the first
  // change to a distribution or joint distribution that existed at `begin_change` keeps a copy
  // of it, so that `undo_change` puts the database back in memory exactly as it was:
  // definitions, distributions and joint distributions created, counts, entropies, versions,
  // times, the index and the id counters. Raw-log lines already appended stay, and record ids
  // never go back. Calls nest; only the outermost begin, end or undo acts.
  void begin_change();
  void end_change();
  void undo_change();
  // Begins a change and undoes it when destroyed before `keep`.
  class Change {
   public:
    explicit Change(Database& db) : db_(db) { db_.begin_change(); }
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;
    ~Change() {
      if (!kept_) db_.undo_change();
    }
    void keep() {
      db_.end_change();
      kept_ = true;
    }

   private:
    Database& db_;
    bool kept_ = false;
  };
  // Appends lines that writers rendered with `append_raw_line_text`, for the record ids from
  // `first_record_id` on, which must be the next record id. Without a raw log nothing happens
  // and no id is taken; on failure the lines before the failing one stay and the failing one
  // keeps its id.
  void append_raw_lines(std::uint64_t first_record_id, std::span<const RawLines> pieces);

  // ---- Reading: what the query side uses. Nothing here changes the database. ----
  // N is the number of distributions, N(v) those of one variable, J the number of joint
  // distributions; a key text is hashed once per lookup. Pointers and spans stay valid until
  // the next call that creates a distribution or joint distribution.

  const core::Schema& schema() const { return meta_.schema; }  // O(1)
  // Every distribution and joint distribution in storage (creation) order; O(1).
  const std::vector<core::DistributionObject>& distributions() const {
    return dist_file_.distributions;
  }
  const std::vector<core::JointDistributionObject>& joints() const { return dist_file_.joints; }
  // The index of key texts as flush writes it: made from the distributions, O(N).
  DistIndex index() const { return rebuild_index(dist_file_.distributions); }

  // The distribution of `variable` under exactly `key`, or null: two hash lookups, O(1) on
  // average.
  const core::DistributionObject* find_distribution(std::string_view variable,
                                                    const core::DimensionKey& key) const;
  // Positions in the lists below; a database never holds 2^32 distributions (each takes
  // hundreds of bytes), and half the width halves the lists.
  using Position = std::uint32_t;
  // Positions in `distributions()` of every distribution of `variable` (name equal byte for
  // byte), in storage order: O(log V) for V variables, without visiting the other variables'
  // distributions.
  std::span<const Position> positions_of_variable(std::string_view variable) const;
  // The same for the distributions of `variable` whose key holds `dimension` with `value`:
  // O(log V + log D + log values), where D counts the dimensions the variable's keys name.
  std::span<const Position> positions_with_pair(std::string_view variable,
                                                   std::string_view dimension,
                                                   std::string_view value) const;
  // Every value that keys of `variable` hold for `dimension`, in byte order, with the positions
  // of `positions_with_pair`; null when no key of the variable names the dimension. O(log V + log D).
  using ValuePositions = std::map<std::string, std::vector<Position>, std::less<>>;
  const ValuePositions* positions_by_value(std::string_view variable,
                                           std::string_view dimension) const;
  // The joint distribution of the two names (in either order) under exactly `key`, or null:
  // one hash lookup, O(1) on average.
  const core::JointDistributionObject* get_joint_distribution(std::string_view a,
                                                              std::string_view b,
                                                              const core::DimensionKey& key) const;
  // Every value that a distribution's key holds for `dimension`, in byte order; joint
  // distributions are not consulted. Gathered from the per-variable lists of values, which
  // hold them already: O(V log D + K log K) for K values.
  std::set<std::string> dimension_values(std::string_view dimension) const;
  // Distribution count, sample total, variable and dimension counts: a scan, O(N).
  DatabaseStats stats() const;

  const std::string& root() const { return root_; }
  bool writable() const { return writable_; }
  bool has_raw_log() const { return raw_log_.has_value(); }
  const MetaFile& meta() const { return meta_; }
  const DistributionFile& dist_file() const { return dist_file_; }
  const SnapshotStore& snapshots() const { return snapshots_; }

  // Together they name the state of one variable's distributions, so that a result read from
  // them can be kept across calls. `instance` is this object's number, which no other
  // `Database` of the process ever has (a reopened directory is another instance). `generation`
  // takes a value this instance never handed out before at every creation of a distribution
  // of `variable`, every `distribution_at` (and so every finalisation), and every rollback or
  // undo that removes or restores one; it is 0 while the variable has no distribution. O(log V).
  std::uint64_t instance() const { return instance_; }
  std::uint64_t generation(std::string_view variable) const;

 private:
  static constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

  // Where an exact lookup leads: the id and position of the distribution of the variable under
  // the key, or none.
  struct Located {
    std::optional<std::uint64_t> id;
    std::size_t position = kNoPosition;
  };

  Database() = default;
  Located locate(std::string_view variable, const core::DimensionKey& key) const;
  std::size_t joint_position(std::string_view x, std::string_view y,
                             const core::DimensionKey& key) const;
  void check_writable() const;
  void keep_original_distribution(std::size_t position);
  // Fails when two distributions of the file at `dist_path` share an id.
  void rebuild_lookups(const std::string& dist_path);
  // Files the distribution at `position`, the last one, under its variable and its pairs.
  void file_position(std::size_t position);
  // Takes the distribution at `position`, the last one filed, out of those lists again.
  void unfile_position(std::size_t position);
  void advance_generation(std::string_view variable);
  // True when the files may differ from memory: since the open or the last successful flush,
  // something was changed, or a failed flush could not put the old files back.
  bool changed_ = false;
  bool files_mixed_ = false;

  std::string root_;
  MetaFile meta_;
  DistributionFile dist_file_;
  std::optional<RawLog> raw_log_;
  SnapshotStore snapshots_;
  std::optional<DatabaseLock> lock_;
  bool writable_ = false;

  // What `undo_change` restores: the database at the outermost `begin_change`, as the mark, the
  // schema's lengths and a copy of each older distribution or joint before its first change.
  struct OpenChange {
    Mark mark;
    std::size_t variables = 0;
    std::size_t dimensions = 0;
    bool changed = false;
    std::uint64_t next_raw_record_id = 0;
    std::unordered_map<std::size_t, core::DistributionObject> distributions;
    std::unordered_map<std::size_t, core::JointDistributionObject> joints;
  };
  std::optional<OpenChange> change_;
  std::size_t change_depth_ = 0;

  // id -> position of the distribution with that id.
  IdPositions position_by_id_;
  // One copy of every dimension key a distribution or joint distribution was ever given here;
  // made at the first creation, since decoding already shares the stored keys.
  core::DimensionKeyInterner keys_;
  bool keys_filled_ = false;
  core::DimensionKey shared_key(const core::DimensionKey& key);
  // The name the variable's distributions share, or a new one for its first.
  core::SharedText shared_name(std::string_view variable) const;
  // Positions by (variable, key). Two distributions of one variable under one key (a file
  // written by hand) leave the later one here.
  core::FlatIndex exact_;
  static std::uint32_t exact_hash(std::string_view variable, const core::DimensionKey& key);
  auto exact_match(std::string_view variable, const core::DimensionKey& key) const {
    return [this, variable, &key](std::uint32_t position) {
      const auto& held = dist_file_.distributions[position];
      return held.dimension_key == key && held.variable == variable;
    };
  }
  void file_exact(std::size_t position);
  void rebuild_exact();
  // Where one variable's distributions sit, each list in storage order: all of them, and per
  // dimension and value those whose key holds that pair, so that a roll-up visits only its
  // members. A list is there only while it holds a position.
  struct VariablePositions {
    std::vector<Position> all;
    std::map<std::string, ValuePositions, std::less<>> by_pair;
    std::uint64_t generation = 0;
  };
  std::map<std::string, VariablePositions, std::less<>> variables_;
  std::uint64_t instance_ = 0;
  std::uint64_t last_generation_ = 0;
  // joint lookup text -> positions in storage order; shared texts are told apart by comparing.
  std::unordered_map<std::string, std::vector<std::size_t>> joint_positions_;
};

}  // namespace quib::storage
