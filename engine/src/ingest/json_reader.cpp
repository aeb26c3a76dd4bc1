#include "ingest/json_reader.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "ingest/input_file.h"

namespace quib::ingest::json_reader {
namespace {

// Interns the keys of one object. Lines of a JSON-lines file usually repeat the keys of the line
// before, so those are matched against the previous row's columns before any hashing.
class KeyInterner {
 public:
  explicit KeyInterner(RowTable& table) : table_(table) {}

  std::uint32_t id(std::size_t position, const std::string& key) {
    if (position < previous_.size() && table_.columns[previous_[position]] == key) {
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

Row object_row(core::json::Object& object, KeyInterner& keys) {
  Row row;
  row.fields.reserve(object.size());
  std::size_t position = 0;
  // Members are already in byte order of their keys, one per key.
  for (auto& [key, value] : object) {
    row.fields.emplace_back(keys.id(position++, key), std::move(value));
  }
  return row;
}

void parse_line(std::string_view line, RowTable& table, KeyInterner& keys) {
  if (!input_file::is_utf8(line)) {
    Error error("stream did not contain valid UTF-8");
    error.add_context("read json line");
    throw error;
  }
  core::json::Value value = with_context("parse json line", [&] { return core::json::parse(line); });
  if (auto* object = value.get_if<core::json::Object>()) {
    table.rows.push_back(object_row(*object, keys));
  }
}

}  // namespace

RowTable parse_json_lines(std::string_view text) {
  RowTable table;
  KeyInterner keys(table);
  table.rows.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    std::string_view line;
    if (newline == std::string_view::npos) {
      // The last line needs no LF, and a CR ending the file stays part of it.
      line = text.substr(start);
      start = text.size();
    } else {
      line = text.substr(start, newline - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      start = newline + 1;
    }
    parse_line(line, table, keys);
  }
  return table;
}

RowTable read_json_lines_rows(const std::string& path) {
  const std::string text = input_file::read_all(path, "open json file " + path, "read json line");
  return parse_json_lines(text);
}

}  // namespace quib::ingest::json_reader
