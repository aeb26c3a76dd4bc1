#include "ingest/json_reader.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "core/json_reader.h"
#include "core/utf8.h"
#include "ingest/input_file.h"
#include "ingest/worker_pool.h"

namespace quib::ingest::json_reader {
namespace {

// Interns the keys of one object. Lines of a JSON-lines file usually repeat the keys of the line
// before, so those are matched against the previous row's columns before any hashing.
class KeyInterner {
 public:
  explicit KeyInterner(RowTable& table) : table_(table) {}

  std::uint32_t id(std::size_t position, std::string_view key) {
    if (position < previous_.size() && table_.column_name(previous_[position]) == key) {
      return previous_[position];
    }
    const std::uint32_t id = table_.intern(key);
    if (position < previous_.size()) {
      previous_[position] = id;
    } else {
      previous_.push_back(id);
    }
    return id;
  }

 private:
  RowTable& table_;
  std::vector<std::uint32_t> previous_;  // column id per key position in the last object
};

// One member value as a cell kept by the table. The calls mirror the JSON reader's own reading
// of a value, so every message and position is the reader's.
Cell read_member(core::json::Reader& reader, RowTable& table, std::string& text) {
  const int next = reader.peek();
  switch (next) {
    case 'n':
      reader.read_null();
      return Cell();
    case 't':
    case 'f':
      return Cell::boolean(reader.read_bool());
    case '"':
      reader.read_string(text);
      return Cell::text(table.keep_text(text));
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      const core::json::Number number = reader.read_number();
      switch (number.number_class) {
        case core::json::Number::Class::Unsigned:
          return Cell::unsigned_integer(number.unsigned_value);
        case core::json::Number::Class::Signed:
          return Cell::signed_integer(number.signed_value);
        case core::json::Number::Class::Float:
          return Cell::floating(number.float_value);
      }
      return Cell();
    }
    default: {
      // Arrays and objects, and the reader's own errors for anything else.
      core::json::Value value = reader.read_value();
      return Cell::nested(table.keep_nested(std::move(value)));
    }
  }
}

// Reads one line; an object becomes a row, any other value is dropped.
void parse_line(std::string_view line, RowTable& table, KeyInterner& keys, std::string& key,
                std::string& text) {
  if (!core::utf8::is_valid(line)) {
    Error error("stream did not contain valid UTF-8");
    error.add_context("read json line");
    throw error;
  }
  with_context("parse json line", [&] {
    core::json::Reader reader(line);
    if (reader.peek() != '{') {
      reader.skip_value();
      reader.finish();
      return;
    }
    reader.enter();
    bool first = true;
    std::size_t position = 0;
    while (reader.next_key(first)) {
      reader.read_string(key);
      reader.read_colon();
      const std::uint32_t column = keys.id(position++, key);
      table.put(column, read_member(reader, table, text));
    }
    reader.end_object();
    reader.finish();
    table.end_row();
  });
}

// Reads the lines of text[begin, end) into `table`; `end` is the end of the text or just after a
// line feed.
void parse_lines(std::string_view text, std::size_t begin, std::size_t end, RowTable& table) {
  KeyInterner keys(table);
  std::string key;
  std::string member_text;
  std::size_t start = begin;
  bool reserved = false;
  while (start < end) {
    if (!reserved && table.size() == 1) {
      // Lines of one file tend to hold the same keys: size the table after the first row.
      const std::string_view rest = text.substr(start, end - start);
      const auto lines = static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n')) + 1;
      RowScratch scratch;
      table.reserve(lines, table.row(0, scratch).fields.size());
      reserved = true;
    }
    const std::size_t newline = text.find('\n', start);
    std::string_view line;
    if (newline == std::string_view::npos || newline >= end) {
      // The last line needs no LF, and a CR ending the file stays part of it.
      line = text.substr(start, end - start);
      start = end;
    } else {
      line = text.substr(start, newline - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      start = newline + 1;
    }
    parse_line(line, table, keys, key, member_text);
  }
}

// Below this many bytes one thread reads the whole text.
constexpr std::size_t kBytesPerPiece = std::size_t{1} << 20;

}  // namespace

RowTable parse_json_lines(std::string_view text) {
  // Lines are independent, so pieces that end after a line feed are read on the pool; the
  // first failing piece holds the first failing line, and its error is the one raised.
  const std::size_t pieces = std::min(worker_pool::concurrency() * 2, text.size() / kBytesPerPiece);
  const std::vector<std::size_t> bounds = input_file::line_pieces(text, pieces);
  std::vector<RowTable> parts(bounds.size() - 1);
  worker_pool::for_each_chunk(parts.size(), parts.size(), [&](std::size_t k, std::size_t, std::size_t) {
    parse_lines(text, bounds[k], bounds[k + 1], parts[k]);
  });
  RowTable table;
  table.append(std::move(parts));
  return table;
}

RowTable read_json_lines_rows(const std::string& path) {
  const std::string text = input_file::read_all(path, "open json file " + path, "read json line");
  return parse_json_lines(text);
}

}  // namespace quib::ingest::json_reader
