// The batch updater: turns batches of projected rows into count increments of a database.
//
// Every row is first resolved on its own, on the process-wide worker pool: its dimension key,
// one delta per variable value, one cell per joint pair, and, when the raw log is on, its whole
// raw-log line (payload written in place, record id from the row's place in the batch). Then
// the results are gathered into counts per (variable, dimension key) and per (pair, dimension
// key), on the pool, one shard of keys per thread, each walking the rows in order; meanwhile
// the calling thread appends the raw-log lines of the counted rows in row order, before any
// count reaches the database. Then, on the calling thread, the counts are handed to the
// database, the joint cells added, and every touched distribution finalised (`BatchMerge` says
// how). Nothing is rolled back when a call fails part-way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/schema.h"
#include "ingest/column_mapper.h"
#include "ingest/row.h"
#include "ingest/row_resolver.h"
#include "storage/dist_store.h"

namespace quib::ingest {

struct BatchStats {
  std::uint64_t processed = 0;              // rows resolved and counted
  std::uint64_t skipped = 0;                // rows lacking a dimension
  std::uint64_t distributions_updated = 0;  // distinct (variable, dimension key) counted
  bool operator==(const BatchStats&) const = default;
};

namespace batch_updater {

// Applies the batches of one ingest call, each as if it were the only one, while keeping what
// the batches share (the resolve plan, the dimension keys met, where their distributions sit)
// from one batch to the next. `schema` is the caller's copy of the database schema, taken before
// the first batch. `finish` must follow the last batch; a failing batch leaves the database as a
// lone batch would, and the writer must not be used after it. A read-only database refuses at
// the first raw-log line or the first count.
class BatchWriter {
 public:
  // `db` and `schema` must outlive the writer.
  BatchWriter(storage::Database& db, const core::Schema& schema);
  BatchWriter(storage::Database&, core::Schema&&) = delete;
  ~BatchWriter();

  // The batch of kept rows `rows.row(begin)` to `rows.row(end - 1)` of `table`, mapped through
  // `binding` (which must be bound to `table`'s columns).
  BatchStats apply(const RowTable& table, const ColumnBinding& binding, const KeptRows& rows,
                   std::size_t begin, std::size_t end);
  // Every kept row of `table`, as batches of `run` rows (0 counts as 1) that each behave as one
  // `apply`; each batch's stats go to `on_batch` as soon as it is committed. Resolving the next
  // rows on the pool overlaps the calling thread's work on the current ones.
  void apply_runs(const RowTable& table, const ColumnBinding& binding, const KeptRows& rows,
                  std::size_t run, const std::function<void(const BatchStats&)>& on_batch);
  // Completes the batches applied so far. Never fails.
  void finish();

 private:
  friend class PartedBatch;
  struct State;
  std::unique_ptr<State> state_;
};

// One batch whose rows arrive in parts, applied exactly as one batch of all the parts
// appended into one table: the same counts, versions, raw-log lines and record ids. While the
// caller prepares the next part, the pool maps, resolves and counts the last one in the merge's
// own memory; nothing reaches the database, no raw-log line and no count, before `commit`. A
// failing call leaves the batch unusable; destroying a batch not committed leaves the database
// as it was.
class PartedBatch {
 public:
  // `db`, `schema` and `mapping` must outlive the batch.
  PartedBatch(storage::Database& db, const core::Schema& schema, const IngestMapping& mapping);
  PartedBatch(storage::Database&, core::Schema&&, const IngestMapping&) = delete;
  PartedBatch(storage::Database&, const core::Schema&, IngestMapping&&) = delete;
  ~PartedBatch();

  // Starts on the next part once the part before it is counted, rethrowing that part's error.
  // `part` must stay alive and unchanged until the next `add` or `commit` returns.
  void add(const RowTable& part);
  // Writes the raw-log lines of the counted rows in row order, then commits the counts.
  BatchStats commit();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace batch_updater
}  // namespace quib::ingest
