// The fuzz targets that reach readers through files: whole databases built from fuzzed rows and
// queried with fuzzed statements, databases opened over fuzzed container files, raw-log segments
// with fuzzed tails; and the small text readers beside them (dates, number texts, schema
// inference). Shared by the libFuzzer drivers and the regression replay, like targets.h.
//
// Every run works in a scratch directory of its own process under TMPDIR, emptied first, so that
// runs never see each other's files. Point TMPDIR at a tmpfs: flushes sync every file.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/number_text.h"
#include "ingest/csv_reader.h"
#include "ingest/dates.h"
#include "ingest/json_reader.h"
#include "ingest/pipeline.h"
#include "../engine/tests/date_forms.h"
#include "../engine/tests/number_forms.h"
#include "ingest/schema_inference.h"
#include "query/engine.h"
#include "sql/executor.h"
#include "storage/dist_store.h"
#include "storage/raw_log.h"
#include "support.h"

namespace quib::fuzz {

namespace store_fs = std::filesystem;

// The files of a database directory, in the order a database input lists them.
inline constexpr const char* kDatabaseFiles[] = {"meta.edb", "distributions.edb",
                                                 "dist_index.edb", "snapshots.edb"};
// Between the files of a database input, and between rows and statements of an executor input.
inline constexpr std::string_view kFileSeparator = "\n--next file--\n";
inline constexpr std::string_view kStatementsSeparator = "\n\n";

// A run's inputs stay small, so that every run takes milliseconds: longer inputs find nothing
// that shorter ones miss, they only slow the fuzzer down.
inline constexpr std::size_t kMostRowBytes = 4096;
inline constexpr std::size_t kMostStatements = 8;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (store_fs::temp_directory_path() / "quib_fuzz_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    store_fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // `name` inside the scratch directory, with nothing left there from an earlier run.
  std::string fresh(std::string_view name) const {
    const store_fs::path path = store_fs::path(path_) / name;
    store_fs::remove_all(path);
    return path.string();
  }

 private:
  std::string path_;
};

inline const ScratchDir& scratch() {
  static const ScratchDir dir;
  return dir;
}

inline void write_bytes(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The pieces of `text` between separators; the last piece runs to the end.
inline std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t at = text.find(separator); at != std::string_view::npos;
       at = text.find(separator)) {
    pieces.push_back(text.substr(0, at));
    text.remove_prefix(at + separator.size());
  }
  pieces.push_back(text);
  return pieces;
}

// What a statement answers: its table as CSV, or the message of its error.
inline std::string answer(const storage::Database& db, std::string_view statement) {
  const query::QueryEngine engine;
  try {
    return sql::query(db, engine, statement).to_csv();
  } catch (const Error& error) {
    return "error: " + error.full();
  }
}

inline std::vector<std::string> answers(const storage::Database& db,
                                        const std::vector<std::string_view>& statements) {
  std::vector<std::string> out;
  for (const std::string_view statement : statements) out.push_back(answer(db, statement));
  return out;
}

// The executor end to end: CSV rows up to the first blank line, then one statement per line.
// The rows go in through file ingestion into a new database; the statements run on it, and again
// after a flush on the database opened read-write and read-only, which must answer alike and
// hold what was flushed.
inline void executor_target(Bytes bytes) {
  const std::string_view text = as_text(bytes);
  const std::size_t rows_end = std::min(text.find(kStatementsSeparator), text.size());
  if (rows_end > kMostRowBytes) return;
  std::vector<std::string_view> statements;
  if (rows_end < text.size()) {
    statements = split(text.substr(rows_end + kStatementsSeparator.size()), "\n");
  }
  if (statements.size() > kMostStatements) return;

  const std::string rows = scratch().fresh("rows.csv");
  write_bytes(rows, text.substr(0, rows_end));
  const std::string dir = scratch().fresh("db");
  storage::DatabaseStats flushed;
  {
    storage::Database db = storage::Database::create_with_options(dir, true);
    tolerate_errors([&] {
      (void)ingest::IngestionPipeline::ingest_file_auto(db, rows, ingest::InferConfig{}, 7, false);
    });
    (void)answers(db, statements);
    db.flush();
    flushed = db.stats();
  }
  std::vector<std::string> reopened;
  {
    storage::Database db = storage::Database::open(dir, true);
    require(db.stats() == flushed);
    reopened = answers(db, statements);
    db.flush();
  }
  const storage::Database db = storage::Database::open(dir, false);
  require(db.stats() == flushed);
  require(answers(db, statements) == reopened);
}

// A database directory whose four files are the pieces of the input (missing pieces: missing
// files), opened read-write and read-only. What the read-write open holds survives its flush.
inline void database_target(Bytes bytes) {
  const std::vector<std::string_view> pieces = split(as_text(bytes), kFileSeparator);
  const std::string dir = scratch().fresh("db");
  store_fs::create_directories(dir);
  for (std::size_t i = 0; i < pieces.size() && i < std::size(kDatabaseFiles); ++i) {
    write_bytes(dir + "/" + kDatabaseFiles[i], pieces[i]);
  }
  tolerate_errors([&] { (void)storage::Database::open(dir, false).stats(); });
  std::optional<storage::DatabaseStats> flushed;
  tolerate_errors([&] {
    storage::Database db = storage::Database::open(dir, true);
    const storage::DatabaseStats stats = db.stats();
    db.flush();
    flushed = stats;
  });
  if (flushed) require(storage::Database::open(dir, false).stats() == *flushed);
}

// A raw-log segment holding the input: recovery keeps exactly the whole lines, and a line
// appended after it is the last record the next recovery finds.
inline void raw_log_target(Bytes bytes) {
  const std::string dir = scratch().fresh("raw");
  store_fs::create_directories(dir);
  const std::string_view text = as_text(bytes);
  write_bytes(dir + "/log_000001.raw", text);
  const storage::RawLog log = storage::RawLog::open(dir);
  require(read_bytes(log.path()) == text);
  const std::optional<std::uint64_t> last = log.recover();
  const std::string kept(text.substr(0, text.rfind('\n') + 1));
  require(read_bytes(log.path()) == kept);
  if (last == std::numeric_limits<std::uint64_t>::max()) return;

  const std::uint64_t next = last ? *last + 1 : 1;
  std::string line;
  storage::append_raw_line_text(line, next, "{\"a\":[1,\"b\"]}");
  const std::size_t ends[] = {line.size()};
  const storage::RawLines piece{line, ends};
  std::size_t written = 0;
  log.append_lines({&piece, 1}, written);
  require(written == 1);
  require(log.recover() == next);
  require(read_bytes(log.path()) == kept + line);
}

// The granularity words, and one that names none.
inline const std::optional<std::string> kGranularities[] = {
    std::nullopt, "daily", "weekly", "monthly", "yearly", "hourly"};

// Date texts: a date read is a day that exists, and bucketing a value twice changes nothing more.
// Number texts: a number read writes back to a text that reads to the same value.
inline void dates_numbers_target(Bytes bytes) {
  const std::string_view text = as_text(bytes);
  (void)ingest::dates::is_date_like(text);
  if (const auto date = ingest::dates::parse_lenient_date(text)) {
    require(date->month >= 1 && date->month <= 12);
    require(date->day >= 1 && date->day <= ingest::dates::days_in_month(date->year, date->month));
    const ingest::dates::IsoWeek week = ingest::dates::iso_week(*date);
    require(week.week >= 1 && week.week <= 53);
  }
  for (const auto& granularity : kGranularities) {
    const std::string once = ingest::dates::normalize_dimension_value(text, granularity);
    require(ingest::dates::normalize_dimension_value(once, granularity) == once);
  }
  double value = 0;
  if (!core::number_text::parse_float(text, value)) return;
  const auto reads_back = [value](const std::string& written) {
    double again = 0;
    return core::number_text::parse_float(written, again) &&
           (std::isnan(value) ? std::isnan(again)
                              : std::bit_cast<std::uint64_t>(again) ==
                                    std::bit_cast<std::uint64_t>(value));
  };
  require(reads_back(core::number_text::plain(value)));
  if (std::isfinite(value)) require(reads_back(core::number_text::json_float(value)));
}

// Schema inference over the rows of a CSV or JSON-lines input (the first byte picks the reader
// and the inference limits): one definition at most per column, and a mapping for every one.
inline void schema_inference_target(Bytes bytes) {
  if (bytes.empty()) return;
  const std::uint8_t choice = bytes[0];
  const std::string_view text = as_text(bytes.subspan(1));
  tolerate_errors([&] {
    const ingest::RowTable table = (choice & 1) != 0
                                       ? ingest::json_reader::parse_json_lines(text)
                                       : ingest::csv_reader::parse_csv(std::string(text));
    ingest::InferConfig config;
    config.sample_rows = 1 + (choice >> 1 & 7);
    config.max_categories = choice >> 4;
    if (!table.columns().empty() && (choice & 2) != 0) {
      config.date_columns.push_back(table.columns().front());
    }
    const core::Schema schema = ingest::schema_inference::infer_schema(table, config);
    require(schema.variables.size() + schema.dimensions.size() <= table.columns().size());
    (void)ingest::schema_inference::identity_mapping(schema);
  });
}

}  // namespace quib::fuzz
