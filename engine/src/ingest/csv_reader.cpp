#include "ingest/csv_reader.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/utf8.h"
#include "ingest/csv_record.h"
#include "ingest/input_file.h"
#include "ingest/worker_pool.h"

namespace quib::ingest::csv_reader {
namespace {

using csv_record::Record;

// Raises the reading error of the first field that is not valid UTF-8, if any.
void check_utf8(const Record& record, std::uint64_t record_number, const char* context) {
  for (std::size_t i = 0; i < record.field_count(); ++i) {
    const std::string_view field = record.field(i);
    const std::size_t valid = core::utf8::valid_up_to(field);
    if (valid == field.size()) continue;
    const std::string index = std::to_string(i);
    Error error("CSV parse error: record " + std::to_string(record_number) + " (line " +
                std::to_string(record.line) + ", field: " + index +
                ", byte: " + std::to_string(record.byte) + "): invalid utf-8: invalid UTF-8 in field " +
                index + " near byte index " + std::to_string(valid));
    error.add_context(context);
    throw error;
  }
}

void check_field_count(const Record& record, std::uint64_t record_number, std::size_t expected) {
  if (record.field_count() == expected) return;
  Error error("CSV error: record " + std::to_string(record_number) +
              " (line: " + std::to_string(record.line) + ", byte: " + std::to_string(record.byte) +
              "): found record with " + std::to_string(record.field_count()) +
              " fields, but the previous record has " + std::to_string(expected) + " fields");
  error.add_context("read csv record");
  throw error;
}

// Whether the whole text is valid UTF-8, checked in pieces on the pool. Pieces end after line
// feeds, which no multi-byte character contains.
bool is_utf8_text(std::string_view text) {
  constexpr std::size_t kBytesPerPiece = std::size_t{1} << 20;
  const std::size_t pieces = std::min(worker_pool::concurrency() * 2, text.size() / kBytesPerPiece);
  if (pieces < 2) return core::utf8::is_valid(text);
  const std::vector<std::size_t> bounds = input_file::line_pieces(text, pieces);
  std::vector<char> valid(bounds.size() - 1, 0);
  worker_pool::for_each_chunk(valid.size(), valid.size(), [&](std::size_t k, std::size_t, std::size_t) {
    valid[k] = core::utf8::is_valid(text.substr(bounds[k], bounds[k + 1] - bounds[k])) ? 1 : 0;
  });
  return std::all_of(valid.begin(), valid.end(), [](char v) { return v != 0; });
}

// Checks every record after the header field by field, with line numbers, and raises the error
// of the first one that breaks a rule; otherwise lists where each record begins, to be split
// again when asked for. The slow road, taken only when the quick checks have found something.
void check_records(csv_record::Scanner scanner, std::size_t width,
                   std::vector<csv_record::RecordIndex>& pieces) {
  pieces.clear();
  csv_record::RecordIndex& index = pieces.emplace_back();
  Record record;
  for (std::uint64_t number = 1; scanner.next(record); ++number) {
    check_field_count(record, number, width);
    check_utf8(record, number, "read csv record");
    index.starts.push_back(record.byte);
    index.field_ends.resize(index.field_ends.size() + width, csv_record::RecordIndex::kSplitAgain);
  }
}

}  // namespace

RowTable parse_csv(std::string text) {
  RowTable table;
  csv_record::Scanner scanner(text, csv_record::first_record_offset(text));
  Record header;
  if (!scanner.next(header)) return table;  // no header, hence no rows
  check_utf8(header, 0, "read csv headers");

  // Intern the names in byte order, so that a row's fields come out in id order; a repeated name
  // is fed by its last column.
  const std::size_t width = header.field_count();
  std::vector<std::size_t> order(width);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return header.field(a) < header.field(b);
  });
  std::vector<std::uint32_t> column_of_field(width, RowTable::kNoColumn);
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 1 < order.size() && header.field(order[k]) == header.field(order[k + 1])) continue;
    column_of_field[order[k]] = table.intern(header.field(order[k]));
  }

  // Quick checks first: field counts alone, and the whole text at once for UTF-8 (every byte
  // outside a field is ASCII, so a valid text has valid fields). Only when either fails is
  // every record checked field by field, for the exact error and its position.
  std::vector<csv_record::RecordIndex> index;
  const bool counts_match = csv_record::index_records(text, scanner.position(), width, index);
  if (!counts_match || !is_utf8_text(text)) check_records(scanner, width, index);
  table.adopt_csv(std::move(text), std::move(index), std::move(column_of_field));
  return table;
}

RowTable read_csv_rows(const std::string& path) {
  return parse_csv(input_file::read_all(path, "open csv file " + path, "read csv headers"));
}

}  // namespace quib::ingest::csv_reader
