// Column mapping: which input column feeds which variable and which dimension, and the
// projection of one row through that mapping.
//
// A mapped row keeps the row's variable values unchanged and turns each dimension value into
// text (before date bucketing); a row that lacks a mapped dimension column, or holds null, an
// array or an object there, is dropped. A `ColumnBinding` resolves the mapping against the
// columns of one table once, and a row is then projected into a `SlotRow` (one slot per distinct
// mapped name, names in byte order) without comparing a single name. A projected row borrows:
// names from the binding (hence the mapping), values and most texts from the row. The overloads
// that would bind temporaries are deleted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ingest/row.h"

namespace quib::ingest {

struct IngestMapping {
  std::unordered_map<std::string, std::string> variables;   // input column -> variable name
  std::unordered_map<std::string, std::string> dimensions;  // input column -> dimension name
};

// A mapping resolved against the column names of one table.
class ColumnBinding {
 public:
  static constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};

  ColumnBinding(const IngestMapping& mapping, std::span<const std::string> columns);
  ColumnBinding(IngestMapping&&, std::span<const std::string>) = delete;

  // Distinct mapped names in byte order; a slot is a position in these lists.
  std::span<const std::string_view> variable_names() const { return variable_names_; }
  std::span<const std::string_view> dimension_names() const { return dimension_names_; }
  // The slot a column feeds, or kNoSlot.
  std::uint32_t variable_slot(std::uint32_t column) const {
    return column < variable_slots_.size() ? variable_slots_[column] : kNoSlot;
  }
  std::uint32_t dimension_slot(std::uint32_t column) const {
    return column < dimension_slots_.size() ? dimension_slots_[column] : kNoSlot;
  }
  // How many mapped dimension columns a row must hold; a column the table lacks still counts.
  std::size_t required_dimensions() const { return required_dimensions_; }
  // How many of them the table has at all.
  std::size_t dimension_columns_present() const { return dimension_columns_present_; }

 private:
  std::vector<std::string_view> variable_names_;
  std::vector<std::string_view> dimension_names_;
  std::vector<std::uint32_t> variable_slots_;   // column id -> slot
  std::vector<std::uint32_t> dimension_slots_;  // column id -> slot
  std::size_t required_dimensions_ = 0;
  std::size_t dimension_columns_present_ = 0;
};

// A row projected through a binding: by slot, the variable value (null when absent) and the
// dimension text. Reused from row to row, so projecting allocates nothing once warm.
struct SlotRow {
  std::vector<const Cell*> variables;
  std::vector<std::string_view> dimensions;
  // Texts of number and boolean dimension values, and per dimension slot where its text lies in
  // `rendered` (kNotRendered for a text of the row itself).
  static constexpr std::size_t kNotRendered = ~std::size_t{0};
  std::string rendered;
  std::vector<std::pair<std::size_t, std::size_t>> rendered_at;
};

// The rows of a table that mapping keeps, in order: all of them, or a list.
class KeptRows {
 public:
  static KeptRows all(std::size_t count);
  static KeptRows listed(std::vector<std::size_t> rows);

  std::size_t size() const { return all_ ? count_ : rows_.size(); }
  // Table index of the k-th kept row.
  std::size_t row(std::size_t k) const { return all_ ? k : rows_[k]; }

 private:
  bool all_ = true;
  std::size_t count_ = 0;
  std::vector<std::size_t> rows_;
};

namespace column_mapper {

// Projects `row` into `out`; false when the row must be dropped (`out` is then unspecified).
bool project(const Row& row, const ColumnBinding& binding, SlotRow& out);

// The rows of `table` that mapping keeps. A CSV table keeps all rows or none; any other table is
// checked row by row, on the worker pool.
KeptRows kept_rows(const RowTable& table, const ColumnBinding& binding);
KeptRows kept_rows(RowTable&&, const ColumnBinding&) = delete;

}  // namespace column_mapper
}  // namespace quib::ingest
