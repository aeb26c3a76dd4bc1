// The result table of a query statement and its three renderings.
//
// Every statement answers with a `QueryResult`: column titles plus rows of cells that the executor
// has already formatted as text. The renderings (CSV, JSON, aligned text table) only read the
// table and never fail. A row may hold fewer or more cells than there are columns; each rendering
// documents what it does then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quib::sql {

// The rows of a result with their cells end to end in one buffer: a held cell costs its bytes and
// an offset, not a string object and a list of its own, so that a result of millions of cells
// takes about the size of its CSV text. Rows are only ever appended.
class ResultRows {
 public:
  // One row, read in place; valid until the next append.
  class Row {
   public:
    Row(const ResultRows& rows, std::size_t index) : rows_(&rows), index_(index) {}
    std::size_t size() const { return last() - first(); }
    bool empty() const { return size() == 0; }
    std::string_view operator[](std::size_t i) const { return rows_->cell(first() + i); }
    operator std::vector<std::string>() const;  // NOLINT(google-explicit-constructor)
    bool operator==(const std::vector<std::string>& cells) const;

   private:
    std::size_t first() const { return index_ == 0 ? 0 : rows_->row_ends_[index_ - 1]; }
    std::size_t last() const { return rows_->row_ends_[index_]; }
    const ResultRows* rows_;
    std::size_t index_;
  };
  class const_iterator {
   public:
    using value_type = Row;
    using difference_type = std::ptrdiff_t;
    const_iterator(const ResultRows& rows, std::size_t index) : rows_(&rows), index_(index) {}
    Row operator*() const { return Row(*rows_, index_); }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }

   private:
    const ResultRows* rows_;
    std::size_t index_;
  };

  ResultRows() = default;
  ResultRows(std::initializer_list<std::vector<std::string>> rows);

  void push_back(const std::vector<std::string>& cells);
  void reserve(std::size_t rows) { row_ends_.reserve(rows); }
  // Gives back the room that growing left unused.
  void shrink_to_fit();
  std::size_t size() const { return row_ends_.size(); }
  bool empty() const { return row_ends_.empty(); }
  Row operator[](std::size_t i) const { return Row(*this, i); }
  Row back() const { return Row(*this, size() - 1); }
  const_iterator begin() const { return const_iterator(*this, 0); }
  const_iterator end() const { return const_iterator(*this, size()); }
  // The bytes held, spare room included.
  std::size_t capacity_bytes() const;

  operator std::vector<std::vector<std::string>>() const;  // NOLINT(google-explicit-constructor)
  bool operator==(const ResultRows& other) const = default;
  bool operator==(const std::vector<std::vector<std::string>>& rows) const;

 private:
  std::string_view cell(std::size_t i) const {
    const std::size_t from = i == 0 ? 0 : cell_ends_[i - 1];
    return std::string_view(text_).substr(from, cell_ends_[i] - from);
  }

  std::string text_;                   // every cell, end to end
  std::vector<std::uint64_t> cell_ends_;  // where each cell ends in `text_`
  std::vector<std::uint64_t> row_ends_;   // where each row's cells end in `cell_ends_`
};

struct QueryResult {
  std::vector<std::string> columns;
  ResultRows rows;

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
