// The two roads into a database: a file ingest reads the whole file into rows, infers a schema
// from the leading rows, defines what it proposes for the columns that the database schema
// neither names nor reads (the schema's roles win), maps every row through the identity mapping
// of the database schema, applies the mapped rows in batches, flushes once and reports; a
// records ingest does the same from the mapping on for rows that the caller built.
//
// Everything but the per-row resolution inside a batch runs on the calling thread. A call lands
// whole or not at all: one that fails, its final flush included, leaves the database in memory
// as it was before the call (definitions too), so that no later flush writes part of it. The
// raw-log lines it appended stay, and their record ids are not handed out again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ingest/column_mapper.h"
#include "ingest/row.h"
#include "ingest/schema_inference.h"
#include "storage/dist_store.h"

namespace quib::ingest {

struct IngestReport {
  std::uint64_t total_rows = 0;             // rows that mapping kept
  std::uint64_t processed_rows = 0;         // rows counted
  std::uint64_t skipped_rows = 0;           // mapped rows lacking a dimension
  std::uint64_t distributions_updated = 0;  // summed over batches
  std::uint64_t elapsed_ms = 0;             // from the end of mapping to the end of the flush
  bool operator==(const IngestReport&) const = default;
};

struct IngestionPipeline {
  // Reads, infers, defines new names, then ingests every row of the file.
  static IngestReport ingest_file_auto(storage::Database& db, std::string path,
                                       InferConfig config, std::uint64_t batch_size,
                                       bool show_progress);

  // The road of Python records, already converted to rows: no reading and no inference; the
  // rows are mapped through the identity mapping of the database schema, applied as one batch
  // whatever their number, and flushed. The report counts every row given in `total_rows` and
  // times nothing.
  static IngestReport ingest_records(storage::Database& db, RowTable records);
  // The same road for records that `next_part` converts part by part into the empty table it is
  // given, returning false once none is left: the pool works on each part while the next is
  // converted, yet the parts make one batch, and nothing reaches the database before the last
  // part is converted. An error of the batch is held until then, so that an error of the
  // conversion comes first, as it would had every record been converted up front.
  static IngestReport ingest_records(storage::Database& db,
                                     const std::function<bool(RowTable&)>& next_part);

  // Maps the rows, applies them in runs of `batch_size` (0 counts as 1) against a copy of the
  // schema taken first, prints a progress line per run when asked, and flushes once.
  static IngestReport ingest_rows_internal(storage::Database& db, const RowTable& rows,
                                           const IngestMapping& mapping,
                                           std::uint64_t batch_size, bool show_progress);

  // The rows of the file, the reader chosen by the ASCII-lower-cased extension alone: csv, or
  // json / jsonl for JSON lines.
  static RowTable read_rows(const std::string& path);
};

}  // namespace quib::ingest
