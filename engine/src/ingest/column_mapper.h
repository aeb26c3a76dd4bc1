// Column mapping: which input column feeds which variable and which dimension, and the
// projection of one row through that mapping.
//
// A `MappedRow` keeps the row's variable values unchanged and turns each dimension value into
// text (before date bucketing). It borrows rather than copies, because ingestion maps every row of
// a file: its names point into the `ColumnBinding` (hence the `IngestMapping`), its values and
// most of its texts into the row. The row table, the mapping and the binding must outlive the
// mapped rows; the overloads that would bind temporaries are deleted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/json.h"
#include "core/schema.h"
#include "ingest/row.h"

namespace quib::ingest {

struct IngestMapping {
  std::unordered_map<std::string, std::string> variables;   // input column -> variable name
  std::unordered_map<std::string, std::string> dimensions;  // input column -> dimension name
};

struct MappedVariable {
  std::string_view name;
  const core::json::Value* value = nullptr;  // never null in a mapped row
};

struct MappedDimension {
  std::string_view name;
  // The row's own text when the value was a JSON string; otherwise null and the text is held in
  // `rendered` (a number or boolean written as JSON writes it).
  const std::string* source = nullptr;
  std::string rendered;

  std::string_view text() const { return source != nullptr ? std::string_view(*source) : rendered; }
};

struct MappedRow {
  std::vector<MappedVariable> variables;    // ordered by name bytes, one entry per name
  std::vector<MappedDimension> dimensions;  // ordered by name bytes, one entry per name

  // Lookups by exact name; null when absent.
  const core::json::Value* variable(std::string_view name) const;
  const MappedDimension* dimension(std::string_view name) const;
};

// A mapping resolved against the column names of one input, so that mapping a row costs one step
// per field and no name comparison.
class ColumnBinding {
 public:
  ColumnBinding(const IngestMapping& mapping, std::span<const std::string> columns);
  ColumnBinding(IngestMapping&&, std::span<const std::string>) = delete;

  // The names a column feeds, or null. Names are owned by the mapping.
  const std::string* variable_of(std::uint32_t column) const;
  const std::string* dimension_of(std::uint32_t column) const;
  // How many mapped dimension columns a row must hold; a column the input lacks still counts.
  std::size_t required_dimensions() const { return required_dimensions_; }

 private:
  std::vector<const std::string*> variable_by_column_;
  std::vector<const std::string*> dimension_by_column_;
  std::size_t required_dimensions_ = 0;
};

namespace schema_inference {

// Every variable read from the column of its own name, every dimension from its source column;
// when two dimensions share a column the later one wins.
IngestMapping identity_mapping(const core::Schema& schema);

}  // namespace schema_inference

namespace column_mapper {

// The mapped form of `row`, or nothing when the row lacks a mapped dimension column or holds
// null, an array or an object there. Columns the mapping does not name are ignored.
std::optional<MappedRow> map_row(const Row& row, const ColumnBinding& binding);
std::optional<MappedRow> map_row(Row&&, const ColumnBinding&) = delete;

// Maps every row of `table` in order, dropping the rows that give nothing.
std::vector<MappedRow> map_rows(const RowTable& table, const ColumnBinding& binding);
std::vector<MappedRow> map_rows(RowTable&&, const ColumnBinding&) = delete;

}  // namespace column_mapper
}  // namespace quib::ingest
