// The raw log: `raw/log_000001.raw`, one compact JSON line per counted row,
// {"payload":...,"record_id":N} and a line feed. The engine never reads it back.
//
// Each line goes to the file together with its line feed, and a failed write is cut back to the
// last whole line, so a failure never leaves a line that the next append would continue. Lines
// arrive already rendered, many at once, and go out in large writes with the same bytes as one
// append per line. No file stays open between appends, so a segment deleted in between is
// created again. A process killed in the middle of a write can still leave a torn line: the next
// read-write open cuts it off with `recover` before anything is appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quib::storage {

// Appends the line of one record, line feed included, to `out`, for a payload already written as
// compact JSON text (writers prepare lines on many threads and hand them to
// `RawLog::append_lines`).
void append_raw_line_text(std::string& out, std::uint64_t record_id, std::string_view payload);
// The same line in two steps around a payload that the caller writes into `out` in between, so
// that the payload is never copied.
void begin_raw_line(std::string& out);
void end_raw_line(std::string& out, std::uint64_t record_id);

// Whole lines written elsewhere with `append_raw_line_text`, the i-th ending at line_ends[i].
struct RawLines {
  std::string_view text;
  std::span<const std::size_t> line_ends;
};

class RawLog {
 public:
  // Creates the raw directory when missing and an empty segment when none exists; an existing
  // segment is left unchanged.
  static RawLog open(const std::string& raw_dir);

  // Cuts the segment back to just after its last line feed, and returns the record id of its
  // last whole line when that line is a record. Only for a writer that holds the database lock.
  std::optional<std::uint64_t> recover() const;

  // Appends whole lines as they are, one write per piece; `written` receives the number of
  // lines that reached the file whole, also when an error is thrown.
  void append_lines(std::span<const RawLines> pieces, std::size_t& written) const;

  const std::string& path() const { return path_; }

 private:
  explicit RawLog(std::string path) : path_(std::move(path)) {}

  std::string path_;  // the segment file
};

}  // namespace quib::storage
