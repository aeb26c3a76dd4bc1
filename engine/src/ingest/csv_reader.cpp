#include "ingest/csv_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "ingest/input_file.h"

namespace quib::ingest::csv_reader {
namespace {

// One record as read: the unquoted bytes of all fields back to back, where each field ends, and
// where the record began (line from 1, byte offset from 0 in the file).
struct Record {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::uint64_t line = 0;
  std::uint64_t byte = 0;

  std::size_t field_count() const { return ends.size(); }
  std::string_view field(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

constexpr std::array<bool, 256> kUnquotedStops = [] {
  std::array<bool, 256> stops{};
  stops[static_cast<unsigned char>(',')] = true;
  stops[static_cast<unsigned char>('\r')] = true;
  stops[static_cast<unsigned char>('\n')] = true;
  return stops;
}();

// Splits the text into records. Lines are counted per LF and per CR not followed by LF, so a
// CR LF pair ends one line, inside quoted fields as well as between records.
class RecordScanner {
 public:
  explicit RecordScanner(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  // Reads the next record; false at the end of the text.
  bool next(Record& record) {
    skip_empty_lines();
    if (pos_ == text_.size()) return false;
    record.bytes.clear();
    record.ends.clear();
    record.line = line_;
    record.byte = pos_;
    for (;;) {
      if (pos_ < text_.size() && text_[pos_] == '"') {
        if (!read_quoted(record.bytes)) {
          // A quoted field still open at the end of the text ends there.
          record.ends.push_back(record.bytes.size());
          return true;
        }
      }
      read_unquoted(record.bytes);
      record.ends.push_back(record.bytes.size());
      if (pos_ == text_.size()) return true;
      if (text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      end_line();
      return true;
    }
  }

 private:
  bool at_crlf() const {
    return text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n';
  }

  // Consumes one line end (LF, CR or CR LF) at the current position.
  void end_line() {
    pos_ += at_crlf() ? 2 : 1;
    ++line_;
  }

  void skip_empty_lines() {
    while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r')) end_line();
  }

  // Appends data up to the next separator or line end; quotes here are data.
  void read_unquoted(std::string& out) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !kUnquotedStops[static_cast<unsigned char>(text_[pos_])]) ++pos_;
    out.append(text_.data() + start, pos_ - start);
  }

  // Reads a quoted field from its opening quote; false when the text ends inside it.
  bool read_quoted(std::string& out) {
    ++pos_;
    for (;;) {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\n' &&
             text_[pos_] != '\r') {
        ++pos_;
      }
      out.append(text_.data() + start, pos_ - start);
      if (pos_ == text_.size()) return false;
      const char c = text_[pos_];
      if (c == '"') {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
          out.push_back('"');
          pos_ += 2;
          continue;
        }
        ++pos_;  // closing quote; what follows up to the separator is data
        return true;
      }
      if (c == '\n' || !at_crlf()) ++line_;
      out.push_back(c);
      ++pos_;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 1;
};

// Raises the reading error of the first field that is not valid UTF-8, if any.
void check_utf8(const Record& record, std::uint64_t record_number, const char* context) {
  for (std::size_t i = 0; i < record.field_count(); ++i) {
    const std::string_view field = record.field(i);
    const std::size_t valid = input_file::utf8_valid_up_to(field);
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

// A rough row count to reserve for: one row per line end.
std::size_t estimated_rows(std::string_view text) {
  auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  if (lines == 0) lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r'));
  return lines + 1;
}

}  // namespace

RowTable parse_csv(std::string_view text) {
  RowTable table;
  RecordScanner scanner(text);
  Record record;
  if (!scanner.next(record)) return table;  // no header, hence no rows
  check_utf8(record, 0, "read csv headers");

  // Intern the names in byte order, so that a row's fields come out in id order; a repeated name
  // is fed by its last column.
  const std::size_t width = record.field_count();
  std::vector<std::size_t> order(width);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return record.field(a) < record.field(b);
  });
  std::vector<std::size_t> source;  // column id -> field position
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 1 < order.size() && record.field(order[k]) == record.field(order[k + 1])) continue;
    table.intern(record.field(order[k]));
    source.push_back(order[k]);
  }

  table.rows.reserve(estimated_rows(text));
  for (std::uint64_t number = 1; scanner.next(record); ++number) {
    check_field_count(record, number, width);
    check_utf8(record, number, "read csv record");
    Row row;
    row.fields.reserve(source.size());
    for (std::size_t id = 0; id < source.size(); ++id) {
      row.fields.emplace_back(static_cast<std::uint32_t>(id),
                              core::json::Value(std::string(record.field(source[id]))));
    }
    table.rows.push_back(std::move(row));
  }
  return table;
}

RowTable read_csv_rows(const std::string& path) {
  const std::string text = input_file::read_all(path, "open csv file " + path, "read csv headers");
  return parse_csv(text);
}

}  // namespace quib::ingest::csv_reader
