#include "sql/formatter.h"

#include <algorithm>
#include <cstddef>

#include "core/json_writer.h"

namespace quib::sql {
namespace formatter {

void append_csv_field(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\n") == std::string_view::npos) {
    out.append(text);
    return;
  }
  out.push_back('"');
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace formatter

namespace {

// Backspace and form feed come out in the \u00XX form, as the renderings have always written them.
constexpr auto kResultEscapes = core::json::ShortEscapes::kWithoutBackspaceAndFormFeed;

// Characters of UTF-8 text: every byte that does not continue a multi-byte sequence.
std::size_t char_count(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Widths are measured in bytes but padding counts characters, so multi-byte text ends up wider on
// screen than its byte length suggests; that is the table's documented layout.
void append_padded(std::string& out, std::string_view text, std::size_t width) {
  out.append(text);
  const std::size_t chars = char_count(text);
  if (chars < width) out.append(width - chars, ' ');
}

template <typename Cells>
void append_cells(std::string& out, const Cells& cells, const std::vector<std::size_t>& widths) {
  const std::size_t shown = std::min(cells.size(), widths.size());
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) out.append("  ");
    append_padded(out, cells[i], widths[i]);
  }
  out.push_back('\n');
}

}  // namespace

ResultRows::Row::operator std::vector<std::string>() const {
  std::vector<std::string> cells;
  cells.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) cells.emplace_back((*this)[i]);
  return cells;
}

bool ResultRows::Row::operator==(const std::vector<std::string>& cells) const {
  if (cells.size() != size()) return false;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if ((*this)[i] != cells[i]) return false;
  }
  return true;
}

ResultRows::ResultRows(std::initializer_list<std::vector<std::string>> rows) {
  for (const auto& row : rows) push_back(row);
}

void ResultRows::push_back(const std::vector<std::string>& cells) {
  for (const std::string& cell : cells) {
    text_ += cell;
    cell_ends_.push_back(text_.size());
  }
  row_ends_.push_back(cell_ends_.size());
}

void ResultRows::shrink_to_fit() {
  text_.shrink_to_fit();
  cell_ends_.shrink_to_fit();
  row_ends_.shrink_to_fit();
}

std::size_t ResultRows::capacity_bytes() const {
  return text_.capacity() + sizeof(std::uint64_t) * (cell_ends_.capacity() + row_ends_.capacity());
}

ResultRows::operator std::vector<std::vector<std::string>>() const {
  std::vector<std::vector<std::string>> rows;
  rows.reserve(size());
  for (const Row row : *this) rows.push_back(row);
  return rows;
}

bool ResultRows::operator==(const std::vector<std::vector<std::string>>& rows) const {
  if (rows.size() != size()) return false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!((*this)[i] == rows[i])) return false;
  }
  return true;
}

std::string QueryResult::to_csv() const {
  std::string out;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out.push_back(',');
    formatter::append_csv_field(out, columns[i]);
  }
  out.push_back('\n');
  for (const ResultRows::Row row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) out.push_back(',');
      formatter::append_csv_field(out, row[i]);
    }
    out.push_back('\n');
  }
  return out;
}

std::string QueryResult::to_json() const {
  std::string out = "[\n";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const ResultRows::Row row = rows[r];
    out.append("  {");
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) out.append(", ");
      out.push_back('"');
      if (i < columns.size()) core::json::append_escaped(out, columns[i], kResultEscapes);
      out.append("\": \"");
      core::json::append_escaped(out, row[i], kResultEscapes);
      out.push_back('"');
    }
    out.push_back('}');
    if (r + 1 < rows.size()) out.push_back(',');
    out.push_back('\n');
  }
  out.push_back(']');
  return out;
}

void QueryResult::write_table(std::string& out) const {
  if (columns.empty()) return;
  std::vector<std::size_t> widths;
  widths.reserve(columns.size());
  for (const auto& title : columns) widths.push_back(title.size());
  for (const ResultRows::Row row : rows) {
    const std::size_t shown = std::min(row.size(), widths.size());
    for (std::size_t i = 0; i < shown; ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  append_cells(out, columns, widths);
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (i > 0) out.append("  ");
    // U+2500 BOX DRAWINGS LIGHT HORIZONTAL, three bytes in UTF-8.
    for (std::size_t k = 0; k < widths[i]; ++k) out.append("\xE2\x94\x80");
  }
  out.push_back('\n');
  for (const ResultRows::Row row : rows) append_cells(out, row, widths);
}

std::string QueryResult::to_table() const {
  std::string out;
  write_table(out);
  return out;
}

std::ostream& operator<<(std::ostream& out, const QueryResult& result) {
  return out << result.to_table();
}

}  // namespace quib::sql
