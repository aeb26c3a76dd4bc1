// The row form shared by the readers, schema inference, column mapping and the batch updater.
//
// Rows are held compactly: the column names of one input are interned once in a `RowTable`, and
// a row holds (column id, value) fields ordered by the byte order of their column names, one
// field per name. CSV fields are always JSON strings; JSON-lines values keep their JSON type.
//
// A `Row` means nothing without the `RowTable` whose column ids it uses. Column ids are assigned
// in interning order, so id order and name order need not agree; the field order is always the
// name order. Typical use:
//
//   RowTable table;
//   Row row;
//   table.put(row, table.intern("price"), core::json::Value(std::uint64_t{3}));
//   table.rows.push_back(std::move(row));
//   auto id = table.find_column("price");          // resolve a name once ...
//   const core::json::Value* v = table.rows[0].find(*id);  // ... then look it up per row
//
// Reading a table from several threads is safe; interning is not.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/json.h"

namespace quib::ingest {

struct Row {
  // Ordered by the byte order of the column names, one field per column.
  std::vector<std::pair<std::uint32_t, core::json::Value>> fields;

  // The value under `column`, or nullptr when the row lacks it. A linear scan: rows are short,
  // and resolving the name to an id once per input is the caller's part.
  const core::json::Value* find(std::uint32_t column) const {
    for (const auto& [id, value] : fields) {
      if (id == column) return &value;
    }
    return nullptr;
  }
};

struct RowTable {
  // Column id -> name. Add names through `intern` only, so that `find_column` stays right.
  std::vector<std::string> columns;
  std::vector<Row> rows;

  // The id of `name`, adding it when new.
  std::uint32_t intern(std::string_view name);
  // The id of `name`, or nothing when no row of this table can hold it.
  std::optional<std::uint32_t> find_column(std::string_view name) const;
  const std::string& column_name(std::uint32_t column) const { return columns[column]; }

  // Puts `value` under `column` in `row`, keeping the name order; an existing value under the
  // same column is replaced.
  void put(Row& row, std::uint32_t column, core::json::Value value) const;

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
};

}  // namespace quib::ingest
