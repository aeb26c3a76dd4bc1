// The serial half of the batch updater: gathers resolved rows into counts per dimension key and
// hands each batch's counts to the database.
//
// One `BatchMerge` serves every batch of one ingest call, so what it learns about a dimension key
// (its group, where each of its distributions sits in the database) is looked up once per call,
// not once per batch. The keys are split into shards by a hash of their bytes, each shard with
// its own groups, so that one thread per shard can count a batch; which key's rows come first
// is still the batch's row order. Each batch, in the database's order:
//   1. every distribution the batch counts is found, or created, in order of the key's first row
//      in the batch and, within a key, in the order of the schema's variables; then every joint
//      distribution the same way;
//   2. the counts are added;
//   3. each counted distribution is finalised (sample count, entropy, time, version).
// Steps 1 and the joint cells of step 2 happen batch by batch. The counts of distributions and
// step 3 are deferred: they are owed until `settle`, which adds every count owed and finalises
// each distribution once, with its version raised once per batch that counted it and the time of
// the last such batch. That leaves each distribution exactly as adding and finalising after
// every batch would. When a batch fails, everything owed by the batches before it is settled
// first, and then the failing batch leaves what it would have left step by step: its counts up
// to the failing lookup added, unfinalised. Running out of memory is the exception: a batch that
// fails so leaves the database as it was before the batch, and no failure leaves the merge
// half-changed. A definition with more cells than a distribution may count is refused when the
// merge is made, before any row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/dimension_key.h"
#include "ingest/row_resolver.h"
#include "storage/dist_store.h"

namespace quib::ingest {

// Counts per cell of one (variable or joint pair, key) over a batch: a short list while few
// cells are hit, a dense array once the hits justify its size. The dense form is taken only when
// it is at most 64 counters per distinct cell seen, so a batch of rows that each open a new key
// never allocates whole histograms.
class CellCounter {
 public:
  void add(std::uint64_t cell, std::uint64_t extent);
  bool empty() const { return small_size_ == 0 && !dense_hit_; }
  // Forgets the counts, keeping a dense array for the next batch.
  void clear();

  template <typename Fn>
  void for_each(Fn&& fn) const {
    if (dense_hit_) {
      for (std::size_t c = 0; c < dense_.size(); ++c) {
        if (dense_[c] != 0) fn(static_cast<std::uint64_t>(c), dense_[c]);
      }
    }
    for (std::size_t i = 0; i < small_size_; ++i) fn(small_[i].first, small_[i].second);
    for (const auto& [c, n] : overflow_) fn(c, n);
  }

 private:
  void to_dense(std::uint64_t extent);

  // The first cells live inline, so a key that few rows hit costs no allocation.
  std::array<std::pair<std::uint64_t, std::uint64_t>, 4> small_{};
  std::size_t small_size_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> overflow_;
  std::vector<std::uint64_t> dense_;
  bool dense_hit_ = false;  // some count of this batch is in `dense_`
};

class BatchMerge {
 public:
  // A group of one shard.
  struct GroupRef {
    std::uint32_t shard = 0;
    std::uint32_t index = 0;
  };

  // Keys are spread over `shards` shards (0 counts as 1), or kept in one when different key
  // bytes can make one key.
  BatchMerge(const ResolvePlan& plan, std::size_t shards);

  std::size_t shards() const { return shards_.size(); }
  // The shard of key bytes whose std::hash is `hash`.
  std::size_t shard_of(std::size_t hash) const {
    // The high bits of a multiplied hash: the unordered maps use the low ones.
    const std::uint64_t mixed = (static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15u) >> 32;
    return static_cast<std::size_t>((mixed * shards_.size()) >> 32);
  }

  // The group of key bytes, created when new. `hash` is std::hash of the bytes. Calls for keys
  // of different shards, and `count` calls for groups of different shards, may run at once.
  GroupRef group_of(std::string_view key_bytes, std::size_t hash);
  // Counts one resolved row of the current batch: one code per plan variable, one cell per joint.
  // `row` orders the rows of a batch; each shard must see its rows in increasing order.
  void count(GroupRef group, std::uint64_t row, const std::uint64_t* codes,
             const JointCell* cells);

  // Ends the batch of the rows counted since the last commit; returns the number of distinct
  // (variable, key) pairs counted. The first database error ends it.
  std::uint64_t commit(storage::Database& db);
  // Adds every count owed and finalises every distribution owed. Never fails.
  void settle(storage::Database& db);

 private:
  static constexpr std::size_t kNoPosition = ~std::size_t{0};

  void refuse_beyond_reach(const ResolvePlan::Variable& variable);
  void refuse_beyond_reach(const ResolvePlan::Joint& joint);

  // The counters of one key lie end to end, per variable name a "counted in this batch" flag,
  // the unknown bucket and one counter per cell: first those of the current batch, then those
  // owed by earlier batches, so that a row touches one small block. A commit leaves a batch's
  // counters where they are; the key's first count in a later batch (on the thread of its
  // shard) or `settle` carries them over to the owed ones. For a wide name (many cells)
  // the batch counters that went from zero to one are also listed while they are few, so that a
  // wide histogram hit by a few rows is carried over and cleared in a few steps.
  struct WideCells {
    static constexpr std::uint8_t kManyCells = 0xFF;
    std::uint8_t listed = 0;  // entries of `cells` in use, or kManyCells
    std::array<std::uint32_t, 7> cells{};
  };
  // One (variable name, key) across the batches of the call.
  struct Slot {
    std::size_t position = kNoPosition;  // in the database's distributions
    std::uint64_t batches_owed = 0;      // batches counted since it was last settled
    std::uint64_t last_time = 0;         // time of the last of them
  };
  struct KeyGroup {
    core::DimensionKey key;
    std::vector<std::uint64_t> counts;  // batch counters, then owed counters
    std::vector<WideCells> wide;        // per variable name, this batch (wide names only)
    std::vector<CellCounter> joints;    // per schema joint pair, this batch
    std::vector<Slot> slots;            // per variable name
  };
  // What counting and committing read of a group, close together with its neighbours', so that a
  // commit need not touch the counters of a key whose distributions are all known.
  struct GroupState {
    std::uint64_t* counts = nullptr;  // the group's `counts`, which never move
    std::uint64_t listed_in = 0;      // the last batch that counted it
    std::uint64_t committed_at = 0;   // time of the commit whose counts await carrying over
    std::uint32_t names_counted = 0;  // names with a "counted" flag set
    std::uint32_t names_placed = 0;   // names whose distribution position is known
    bool carry_owed = false;          // the batch counters hold a committed batch
  };
  struct KeyRef {
    std::string_view bytes;
    std::size_t hash = 0;
    // The hash first: a bucket holds keys of other hashes too, and most bytes comparisons would
    // be spent on them.
    bool operator==(const KeyRef& other) const {
      return hash == other.hash && bytes == other.bytes;
    }
  };
  struct KeyRefHash {
    std::size_t operator()(const KeyRef& key) const noexcept { return key.hash; }
  };

  // The groups of the keys of one shard, and which of them the current batch counts.
  struct alignas(64) Shard {
    std::deque<std::string> key_bytes;  // stable storage for the map's views
    std::unordered_map<KeyRef, std::uint32_t, KeyRefHash> group_by_bytes;
    std::map<core::DimensionKey, std::uint32_t> group_by_key;
    std::deque<KeyGroup> groups;
    std::vector<GroupState> states;  // per group
    // Groups of this batch with the row that first counted each, in row order.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> batch_groups;
  };

  KeyGroup& group_at(GroupRef ref) { return shards_[ref.shard].groups[ref.index]; }
  const KeyGroup& group_at(GroupRef ref) const { return shards_[ref.shard].groups[ref.index]; }
  bool counted(const KeyGroup& group, std::size_t c) const {
    return group.counts[offsets_[c]] != 0;
  }
  // Calls fn(index, count) for every non-zero batch counter of name `c` in `group` (index 0 is
  // the unknown bucket, index 1 + i cell i).
  template <typename Fn>
  void for_each_count(const KeyGroup& group, std::size_t c, Fn&& fn) const;
  // Adds counters of name `c` (`from`: the batch or the owed block of the group) to its
  // distribution, as the database adds a count delta.
  void add_to_distribution(storage::Database& db, const KeyGroup& group, std::size_t c,
                           const std::uint64_t* from, bool listed_only);
  // What a batch that fails at its lookup number `singles` (or, with every single lookup done,
  // at joint lookup number `joints`) leaves, after the earlier batches were settled.
  void add_failed_batch(storage::Database& db, std::size_t singles, std::size_t joints);
  void add_joints(storage::Database& db, std::size_t joints);
  // Moves the batch counters of a committed batch to the owed ones, owing a finalisation for
  // each name they count, and clears them.
  void carry_over(Shard& shard, std::uint32_t group);
  // The groups of the batch from every shard, in order of their first row.
  void order_batch_groups();
  void end_batch();

  const ResolvePlan& plan_;
  std::vector<std::string_view> names_;          // distinct variable names, schema order
  std::vector<std::uint64_t> extents_;           // cells per distinct name
  std::vector<std::size_t> offsets_;             // where a name's counters begin in `counts`
  std::vector<bool> categorical_;                // per name: counts categories, not bins
  std::vector<bool> wide_;                       // per name: too many cells to walk each batch
  std::size_t counters_ = 0;                     // counters per key
  std::vector<std::size_t> counts_of_variable_;  // schema variable -> distinct name
  // Per schema variable, what counting one of its codes needs, close together.
  struct VariableCounter {
    std::size_t offset = 0;    // of its name's counters
    std::uint64_t limit = 0;   // highest counter index
    bool wide = false;
  };
  std::vector<VariableCounter> counters_of_variable_;

  std::vector<Shard> shards_;
  std::uint64_t batch_ = 1;
  std::vector<GroupRef> batch_groups_;  // groups of this batch, in order of first row
  std::vector<std::pair<std::uint64_t, GroupRef>> order_;  // room for ordering them
};

}  // namespace quib::ingest
