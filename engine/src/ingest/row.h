// The row form shared by the readers, schema inference and the batch updater.
//
// Rows are held compactly: the column names of one input are interned once in a `RowTable`, and
// a row holds (column id, value) fields ordered by the byte order of their column names, one
// field per name. CSV fields are always JSON strings; JSON-lines values keep their JSON type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.h"

namespace quib::ingest {

struct Row {
  std::vector<std::pair<std::uint32_t, core::json::Value>> fields;
};

struct RowTable {
  std::vector<std::string> columns;  // column id -> name
  std::vector<Row> rows;
};

}  // namespace quib::ingest
