#include "ingest/pipeline.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ascii_text.h"
#include "core/error.h"
#include "core/number_text.h"
#include "core/utf8.h"
#include "ingest/batch_updater.h"
#include "ingest/csv_reader.h"
#include "ingest/input_file.h"
#include "ingest/json_reader.h"

namespace quib::ingest {
namespace {

// The lower-cased extension of the path's last component; empty when it has none, when its
// only dot is its first character, or when it is not valid UTF-8.
std::string extension_of(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") return {};
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string extension(name.substr(dot + 1));
  if (!core::utf8::is_valid(extension)) return {};
  core::fold_ascii_case(extension);
  return extension;
}

void print_progress(const IngestReport& report) {
  std::string line = "Ingesting: ";
  core::number_text::append_plain(line, report.processed_rows);
  line += " / ";
  core::number_text::append_plain(line, report.total_rows);
  line += " rows (";
  core::number_text::append_fixed(line,
                                  static_cast<double>(report.processed_rows) /
                                      static_cast<double>(report.total_rows) * 100.0,
                                  1);
  line += "%) \u2014 ";
  core::number_text::append_plain(line, report.distributions_updated);
  line += " distributions updated\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// Whether `column` is the name or the source column of a dimension of `schema`.
bool reads_as_dimension(const core::Schema& schema, std::string_view column) {
  return std::any_of(schema.dimensions.begin(), schema.dimensions.end(), [&](const auto& d) {
    return d.name == column || d.source_column == column;
  });
}

}  // namespace

RowTable IngestionPipeline::read_rows(const std::string& path) {
  const std::string extension = extension_of(path);
  if (extension == "csv") return csv_reader::read_csv_rows(path);
  if (extension == "json" || extension == "jsonl") return json_reader::read_json_lines_rows(path);
  if (extension == "parquet") {
    throw Error("parquet ingestion requires enabling the 'parquet' feature");
  }
  throw Error("unsupported ingestion format '" + extension + "'; expected csv/json/parquet");
}

IngestReport IngestionPipeline::ingest_file_auto(storage::Database& db, std::string path,
                                                 InferConfig config, std::uint64_t batch_size,
                                                 bool show_progress) {
  const RowTable rows = read_rows(path);
  const core::Schema inferred = schema_inference::infer_schema(rows, config);
  storage::Database::Change change(db);
  // Names already defined keep their definitions, whatever the sample suggests, and so does the
  // role of every column the schema already reads: a column that keys distributions is not
  // counted as a variable too, nor does a counted column split distributions into keys.
  for (const auto& variable : inferred.variables) {
    if (db.schema().find_variable(variable.name) == nullptr &&
        !reads_as_dimension(db.schema(), variable.name)) {
      db.define_variable(variable);
    }
  }
  for (const auto& dimension : inferred.dimensions) {
    if (db.schema().find_dimension(dimension.name) == nullptr &&
        db.schema().find_variable(dimension.source_column) == nullptr) {
      db.define_dimension(dimension);
    }
  }
  const IngestMapping mapping = schema_inference::identity_mapping(db.schema());
  const IngestReport report = ingest_rows_internal(db, rows, mapping, batch_size, show_progress);
  change.keep();
  return report;
}

IngestReport IngestionPipeline::ingest_records(storage::Database& db, RowTable records) {
  bool given = false;
  return ingest_records(db, [&](RowTable& part) {
    if (given) return false;
    part = std::move(records);
    given = true;
    return true;
  });
}

IngestReport IngestionPipeline::ingest_records(storage::Database& db,
                                               const std::function<bool(RowTable&)>& next_part) {
  const core::Schema schema = db.schema();
  const IngestMapping mapping = schema_inference::identity_mapping(schema);
  storage::Database::Change change(db);
  // The part being converted and the one the pool works on; declared before the batch, whose
  // end waits for the pool.
  RowTable parts[2];
  std::exception_ptr failed;
  std::optional<batch_updater::PartedBatch> batch;
  try {
    batch.emplace(db, schema, mapping);
  } catch (...) {
    failed = std::current_exception();
  }
  std::uint64_t total_rows = 0;
  for (std::size_t slot = 0;; slot = 1 - slot) {
    RowTable& part = parts[slot];
    part = RowTable();  // the pool is done with it: `add` waited for it
    if (!next_part(part)) break;
    total_rows += part.size();
    if (failed) continue;
    try {
      batch->add(part);
    } catch (...) {
      failed = std::current_exception();
    }
  }
  if (failed) std::rethrow_exception(failed);
  const BatchStats stats = batch->commit();
  db.flush();
  change.keep();
  return IngestReport{total_rows, stats.processed, stats.skipped, stats.distributions_updated, 0};
}

IngestReport IngestionPipeline::ingest_rows_internal(storage::Database& db, const RowTable& rows,
                                                     const IngestMapping& mapping,
                                                     std::uint64_t batch_size,
                                                     bool show_progress) {
  const core::Schema schema = db.schema();
  const ColumnBinding binding(mapping, rows.columns());
  // Which rows mapping keeps is settled first; each row is mapped again on the worker that
  // resolves it, so no list of mapped rows is ever held.
  const KeptRows kept = column_mapper::kept_rows(rows, binding);

  const auto started = std::chrono::steady_clock::now();
  IngestReport report;
  report.total_rows = kept.size();
  const std::size_t run = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max<std::uint64_t>(batch_size, 1), kept.size() + 1));
  storage::Database::Change change(db);
  batch_updater::BatchWriter writer(db, schema);
  writer.apply_runs(rows, binding, kept, run, [&](const BatchStats& stats) {
    report.processed_rows += stats.processed;
    report.skipped_rows += stats.skipped;
    report.distributions_updated += stats.distributions_updated;
    if (show_progress) print_progress(report);
  });
  writer.finish();
  db.flush();
  change.keep();
  report.elapsed_ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                            started)
          .count());
  return report;
}

}  // namespace quib::ingest
