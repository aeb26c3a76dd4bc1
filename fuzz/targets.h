// The entry of every fuzz target: one function per reader of outside bytes, shared by the
// libFuzzer drivers (fuzz/*_fuzz.cpp) and by the test that replays the cases kept in
// fuzz/regressions/<target>/.
//
// Each entry hands the bytes to one reader and accepts exactly two outcomes: a value, or a
// `quib::Error`. Anything else (a crash, another exception, a sanitizer report, an allocation
// out of proportion to the input) is a finding. Where a reader has a writer, what was read must
// also survive a write and a second read unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "ingest/csv_reader.h"
#include "ingest/json_reader.h"
#include "query/parser.h"
#include "sql/parser.h"
#include "sql/tokenizer.h"
#include "storage/codec.h"
#include "storage/file_format.h"
#include "store_targets.h"
#include "support.h"

namespace quib::fuzz {

// The first byte picks the record, the rest is its input.
template <typename Visit>
void with_record_type(Bytes bytes, Visit&& visit) {
  if (bytes.empty()) return;
  const Bytes rest = bytes.subspan(1);
  switch (bytes[0] % 4) {
    case 0: visit(storage::MetaFile{}, rest); break;
    case 1: visit(storage::DistributionFile{}, rest); break;
    case 2: visit(storage::DistIndex{}, rest); break;
    default: visit(storage::SnapshotStore{}, rest); break;
  }
}

// The binary record encoding. A record that decodes encodes to bytes that decode to a record
// with the same encoding.
inline void codec_target(Bytes bytes) {
  with_record_type(bytes, [](auto tag, Bytes input) {
    using Record = decltype(tag);
    tolerate_errors([&] {
      const auto encoded = storage::codec::encode(storage::codec::decode<Record>(input));
      const auto again = storage::codec::encode(storage::codec::decode<Record>(encoded));
      // Hash maps may come back in another order; only their size is comparable.
      require(again.size() == encoded.size());
    });
  });
}

// The container reader: header, version, zstd frames, binary and JSON forms.
inline void container_target(Bytes bytes) {
  with_record_type(bytes, [](auto tag, Bytes input) {
    using Record = decltype(tag);
    tolerate_errors([&] { (void)storage::file_format::deserialize_bytes<Record>(input, "fuzz"); });
  });
}

// The JSON reader; what it reads writes back to text that reads to the same text again.
inline void json_target(Bytes bytes) {
  tolerate_errors([&] {
    const core::json::Value value = core::json::parse(as_text(bytes));
    const std::string written = core::json::to_string(value);
    require(core::json::to_string(core::json::parse(written)) == written);
  });
}

// Every row of a table read whole, as ingestion would ask for it.
inline void visit_rows(const ingest::RowTable& table) {
  ingest::RowScratch scratch;
  for (std::size_t i = 0; i < table.size(); ++i) {
    for (const ingest::Field& field : table.row(i, scratch).fields) {
      require(field.column < table.columns().size());
    }
  }
}

inline void csv_target(Bytes bytes) {
  tolerate_errors([&] { visit_rows(ingest::csv_reader::parse_csv(std::string(as_text(bytes)))); });
}

inline void json_lines_target(Bytes bytes) {
  tolerate_errors([&] { visit_rows(ingest::json_reader::parse_json_lines(as_text(bytes))); });
}

inline void reference_target(Bytes bytes) {
  tolerate_errors([&] { (void)query::parse_reference(as_text(bytes)); });
}

// The tokenizer alone, then the parser over the same text.
inline void sql_target(Bytes bytes) {
  tolerate_errors([&] { (void)sql::tokenizer::tokenize(as_text(bytes)); });
  tolerate_errors([&] { (void)sql::parser::parse(as_text(bytes)); });
}

struct Target {
  const char* name;
  void (*run)(Bytes);
};

inline constexpr Target kTargets[] = {
    {"codec", codec_target},         {"container", container_target},
    {"json", json_target},           {"csv", csv_target},
    {"json_lines", json_lines_target}, {"reference", reference_target},
    {"sql", sql_target},             {"executor", executor_target},
    {"database", database_target},   {"raw_log", raw_log_target},
    {"dates_numbers", dates_numbers_target}, {"schema_inference", schema_inference_target},
};

}  // namespace quib::fuzz
