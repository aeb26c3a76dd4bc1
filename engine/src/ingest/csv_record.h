// Splitting CSV text into records and fields, in the one dialect the reader accepts.
//
// Dialect: "," separates fields; a field may be quoted with '"', a doubled quote inside standing
// for one, and text after the closing quote up to the separator belonging to the field; CR, LF
// and CR LF end a record (inside quotes they are data); empty lines give no record; a quoted
// field still open at the end of the text ends there.
//
// Two ways through the same text: `Scanner` splits records into fields and counts lines (the
// reader's checks and messages need both); `index_records` finds where records begin and where
// their fields end, without counting lines, which is all that reading a well-formed file needs.
// The index is what lets a CSV table hand out a row without splitting its record a second time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quib::ingest::csv_record {

// One record as split, and where it began (line from 1, byte offset from 0). Most fields are
// slices of the text itself; only a quoted field whose bytes quoting changed (a doubled quote,
// text after the closing quote) is copied out into `unescaped`.
struct Record {
  struct Slice {
    std::size_t begin = 0;
    std::size_t size = 0;
    bool unescaped = false;
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

// Where the records of `text` begin: after a UTF-8 byte-order mark, if any.
std::size_t first_record_offset(std::string_view text);

// Reads records one after the other. Lines are counted per LF and per CR not followed by LF,
// inside quoted fields as well as between records; the count is right only when scanning began
// at the first record.
class Scanner {
 public:
  Scanner(std::string_view text, std::size_t position) : text_(text), pos_(position) {}

  // Reads the next record, skipping empty lines before it; false at the end of the text.
  bool next(Record& record);
  std::size_t position() const { return pos_; }

 private:
  bool at_crlf() const;
  void end_line();
  void skip_empty_lines();
  void skip_unquoted();
  void read_unquoted(Record& record);
  bool read_quoted(Record& record);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 1;
};

// Where the records of one piece of text begin and, `width` to a record, where their fields end,
// counted from the record's start (a separator or line end follows each end). Two bytes a field
// keep the index small; a record that the ends cannot describe (one holding a quoted field, or
// 64 KiB long) has `kSplitAgain` as its first end, and must go through the `Scanner`.
struct RecordIndex {
  static constexpr std::uint16_t kSplitAgain = 0xFFFF;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint16_t> field_ends;
};

// Indexes every record from `position` to the end of the text, appending one index per piece of
// the text that was scanned on its own, in text order (the pieces are kept as they are rather
// than copied into one). False as soon as a record does not have exactly `width` fields;
// `pieces` is then incomplete.
bool index_records(std::string_view text, std::size_t position, std::size_t width,
                   std::vector<RecordIndex>& pieces);

}  // namespace quib::ingest::csv_record
