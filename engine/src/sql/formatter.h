// The result table of a query statement and its three renderings.
//
// Every statement answers with a `QueryResult`: column titles plus rows of cells that the executor
// has already formatted as text. The renderings (CSV, JSON, aligned text table) only read the
// table and never fail. A row may hold fewer or more cells than there are columns; each rendering
// documents what it does then.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quib::sql {

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;

  // Header line and one line per row, every cell of a row written; each line ends in "\n".
  std::string to_csv() const;
  // An array of one object per row, every value a string; cells beyond the columns go under the
  // empty key. No line feed after the closing bracket.
  std::string to_json() const;
  // The aligned text table: header, rule of U+2500, rows; nothing at all without columns.
  void write_table(std::string& out) const;
  std::string to_table() const;
};

// The display rendering is the text table.
std::ostream& operator<<(std::ostream& out, const QueryResult& result);

namespace formatter {

// Appends the text as one CSV field: quoted (inner quotes doubled) when it holds a comma, a
// double quote or a line feed; otherwise unchanged.
void append_csv_field(std::string& out, std::string_view text);

}  // namespace formatter
}  // namespace quib::sql
