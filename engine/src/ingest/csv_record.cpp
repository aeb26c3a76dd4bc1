#include "ingest/csv_record.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ingest/worker_pool.h"

namespace quib::ingest::csv_record {
namespace {

constexpr std::array<bool, 256> kUnquotedStops = [] {
  std::array<bool, 256> stops{};
  stops[static_cast<unsigned char>(',')] = true;
  stops[static_cast<unsigned char>('\r')] = true;
  stops[static_cast<unsigned char>('\n')] = true;
  return stops;
}();

bool is_stop(char c) { return kUnquotedStops[static_cast<unsigned char>(c)]; }

}  // namespace

std::size_t first_record_offset(std::string_view text) {
  return text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

bool Scanner::next(Record& record) {
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

bool Scanner::at_crlf() const {
  return text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n';
}

// Consumes one line end (LF, CR or CR LF) at the current position.
void Scanner::end_line() {
  pos_ += at_crlf() ? 2 : 1;
  ++line_;
}

void Scanner::skip_empty_lines() {
  while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r')) end_line();
}

// Skips data up to the next separator or line end; quotes here are data.
void Scanner::skip_unquoted() {
  while (pos_ < text_.size() && !is_stop(text_[pos_])) ++pos_;
}

void Scanner::read_unquoted(Record& record) {
  const std::size_t start = pos_;
  skip_unquoted();
  record.slices.push_back({start, pos_ - start, false});
}

// Reads a quoted field from its opening quote; false when the text ends inside it. The field
// stays a slice of the text until quoting changes its bytes; from then on it is copied.
bool Scanner::read_quoted(Record& record) {
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

namespace {

// Where one piece's scan began and ended.
struct IndexedPiece {
  std::size_t landing = 0;  // first record start (or end of scan) after the piece's empty lines
  std::size_t stop = 0;     // where the record after the piece's last one would begin
  bool counts_match = true;
};

// Indexes the records that begin in [position, limit); the last may run past `limit`.
IndexedPiece index_piece(std::string_view text, std::size_t position, std::size_t limit,
                         std::size_t width, RecordIndex& index) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* const bound = begin + limit;
  const char* p = begin + position;
  IndexedPiece piece;
  for (bool first = true;; first = false) {
    while (p < end && (*p == '\n' || *p == '\r')) ++p;
    if (first) piece.landing = static_cast<std::size_t>(p - begin);
    if (p >= bound || p == end) break;
    const char* const record = p;
    index.starts.push_back(static_cast<std::uint64_t>(record - begin));
    const std::size_t base = index.field_ends.size();
    bool quoted = false;
    std::size_t last_end = 0;
    std::size_t fields = 1;
    for (;;) {
      if (p < end && *p == '"') {
        quoted = true;
        // Inside quotes only a quote matters: doubled it is data, single it closes the field.
        ++p;
        for (;;) {
          const auto* quote =
              static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
          if (quote == nullptr) {
            p = end;
            break;
          }
          if (quote + 1 < end && quote[1] == '"') {
            p = quote + 2;
            continue;
          }
          p = quote + 1;
          break;
        }
      }
      while (p < end && !is_stop(*p)) ++p;
      last_end = static_cast<std::size_t>(p - record);
      const std::size_t capped = std::min<std::size_t>(last_end, RecordIndex::kSplitAgain);
      index.field_ends.push_back(static_cast<std::uint16_t>(capped));
      if (p == end) break;
      if (*p == ',') {
        ++fields;
        ++p;
        continue;
      }
      p += (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
      break;
    }
    if (fields != width) {
      piece.counts_match = false;
      break;
    }
    // Ends only ever grow, so the last one tells whether every end fits.
    if (quoted || last_end >= RecordIndex::kSplitAgain) {
      index.field_ends[base] = RecordIndex::kSplitAgain;
    }
  }
  piece.stop = static_cast<std::size_t>(p - begin);
  return piece;
}

// Below this many bytes a single scan is quicker than splitting the text.
constexpr std::size_t kBytesPerPiece = std::size_t{1} << 20;

}  // namespace

bool index_records(std::string_view text, std::size_t position, std::size_t width,
                   std::vector<RecordIndex>& pieces) {
  const std::size_t size = text.size();
  const std::size_t count_wanted = std::min(worker_pool::concurrency() * 2,
                                            (size - std::min(size, position)) / kBytesPerPiece);
  auto one_scan = [&] {
    return index_piece(text, position, size, width, pieces.emplace_back()).counts_match;
  };
  if (count_wanted < 2) return one_scan();

  // Pieces begin after a line feed, guessing that no quoted field spans it. The guess holds when
  // each piece's scan stops exactly where the next one's began; otherwise one scan decides.
  std::vector<std::size_t> bounds{position};
  for (std::size_t k = 1; k < count_wanted; ++k) {
    const std::size_t target = position + (size - position) / count_wanted * k;
    const std::size_t newline = text.find('\n', std::max(target, bounds.back()));
    if (newline == std::string_view::npos) break;
    bounds.push_back(newline + 1);
  }
  bounds.push_back(size);
  const std::size_t count = bounds.size() - 1;
  std::vector<RecordIndex> piece_index(count);
  std::vector<IndexedPiece> results(count);
  worker_pool::for_each_chunk(count, count, [&](std::size_t k, std::size_t, std::size_t) {
    const std::size_t records_guess = (bounds[k + 1] - bounds[k]) / 32;
    piece_index[k].starts.reserve(records_guess);
    piece_index[k].field_ends.reserve(records_guess * width);
    results[k] = index_piece(text, bounds[k], bounds[k + 1], width, piece_index[k]);
  });
  bool aligned = true;
  for (std::size_t k = 0; k < count && aligned; ++k) {
    aligned = results[k].counts_match && (k + 1 == count || results[k].stop == results[k + 1].landing);
  }
  if (!aligned) {
    piece_index.clear();
    return one_scan();
  }
  // Room reserved beyond a piece's records was never touched, so it costs no memory.
  for (RecordIndex& piece : piece_index) pieces.push_back(std::move(piece));
  return true;
}

}  // namespace quib::ingest::csv_record
