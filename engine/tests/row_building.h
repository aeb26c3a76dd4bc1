// Building and reading a row table one whole row at a time, for tests that describe their rows
// as (name, value) pairs; the readers build tables with `put` and `end_row`.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>

#include "core/json.h"
#include "ingest/row.h"

namespace quib::ingest {

// A whole row from (name, value) pairs, kept by the table; a later pair replaces an earlier pair
// of the same name.
inline void add_row(RowTable& table,
                    std::span<const std::pair<std::string, core::json::Value>> values) {
  for (const auto& [name, value] : values) {
    const std::uint32_t column = table.intern(name);
    Cell cell = Cell::borrow(value);
    if (cell.kind() == Cell::Kind::Text) {
      cell = Cell::text(table.keep_text(cell.as_text()));
    } else if (cell.kind() == Cell::Kind::Nested) {
      cell = Cell::nested(table.keep_nested(value));
    }
    table.put(column, cell);
  }
  table.end_row();
}

// Row `index` as a JSON object.
inline core::json::Object row_object(const RowTable& table, std::size_t index) {
  RowScratch scratch;
  core::json::Object object;
  for (const Field& field : table.row(index, scratch).fields) {
    object.emplace(table.column_name(field.column), field.value.to_json());
  }
  return object;
}

}  // namespace quib::ingest
