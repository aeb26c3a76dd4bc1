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

// One record as read, and where it began (line from 1, byte offset from 0 in the file). Most
// fields are slices of the input itself; only a quoted field whose bytes quoting changed (a
// doubled quote, text after the closing quote) is copied out into `unescaped`.
struct Record {
  struct Slice {
    std::size_t begin;
    std::size_t size;
    bool unescaped;
  };
  std::string_view text;
  std::string unescaped;
  std::vector<Slice> slices;
  std::uint64_t line = 0;
  std::uint64_t byte = 0;

  std::size_t field_count() const { return slices.size(); }
  std::string_view field(std::size_t i) const {
    const Slice& s = slices[i];
    return (s.unescaped ? std::string_view(unescaped) : text).substr(s.begin, s.size);
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
    record.text = text_;
    record.unescaped.clear();
    record.slices.clear();
    record.line = line_;
    record.byte = pos_;
    for (;;) {
      if (pos_ < text_.size() && text_[pos_] == '"') {
        // A quoted field still open at the end of the text ends there, and so does the record.
        if (!read_quoted(record)) return true;
      } else {
        read_unquoted(record);
      }
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

  // Skips data up to the next separator or line end; quotes here are data.
  void skip_unquoted() {
    while (pos_ < text_.size() && !kUnquotedStops[static_cast<unsigned char>(text_[pos_])]) ++pos_;
  }

  void read_unquoted(Record& record) {
    const std::size_t start = pos_;
    skip_unquoted();
    record.slices.push_back({start, pos_ - start, false});
  }

  // Reads a quoted field from its opening quote; false when the text ends inside it. The field
  // stays a slice of the input until quoting changes its bytes; from then on it is copied.
  bool read_quoted(Record& record) {
    ++pos_;
    const std::size_t start = pos_;
    bool copying = false;
    std::size_t copy_begin = 0;
    auto start_copy = [&](std::size_t upto) {
      if (copying) return;
      copying = true;
      copy_begin = record.unescaped.size();
      record.unescaped.append(text_.data() + start, upto - start);
    };
    auto finish = [&](std::size_t end) {
      if (copying) {
        record.slices.push_back({copy_begin, record.unescaped.size() - copy_begin, true});
      } else {
        record.slices.push_back({start, end - start, false});
      }
    };
    for (;;) {
      const std::size_t run = pos_;
      while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\n' &&
             text_[pos_] != '\r') {
        ++pos_;
      }
      if (copying) record.unescaped.append(text_.data() + run, pos_ - run);
      if (pos_ == text_.size()) {
        finish(pos_);
        return false;
      }
      const char c = text_[pos_];
      if (c == '"') {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
          start_copy(pos_);
          record.unescaped.push_back('"');
          pos_ += 2;
          continue;
        }
        const std::size_t end = pos_++;
        // What follows the closing quote up to the separator is data.
        const std::size_t tail = pos_;
        skip_unquoted();
        if (pos_ > tail) {
          start_copy(end);
          record.unescaped.append(text_.data() + tail, pos_ - tail);
        }
        finish(end);
        return true;
      }
      if (c == '\n' || !at_crlf()) ++line_;
      if (copying) record.unescaped.push_back(c);
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
