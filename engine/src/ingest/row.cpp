#include "ingest/row.h"

#include <algorithm>

namespace quib::ingest {

std::uint32_t RowTable::intern(std::string_view name) {
  if (auto it = ids_.find(name); it != ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(columns.size());
  columns.emplace_back(name);
  ids_.emplace(columns.back(), id);
  return id;
}

std::optional<std::uint32_t> RowTable::find_column(std::string_view name) const {
  if (auto it = ids_.find(name); it != ids_.end()) return it->second;
  return std::nullopt;
}

void RowTable::put(Row& row, std::uint32_t column, core::json::Value value) const {
  const std::string& name = columns[column];
  auto pos = std::lower_bound(row.fields.begin(), row.fields.end(), name,
                              [this](const auto& field, const std::string& key) {
                                return columns[field.first] < key;
                              });
  if (pos != row.fields.end() && pos->first == column) {
    pos->second = std::move(value);
  } else {
    row.fields.emplace(pos, column, std::move(value));
  }
}

}  // namespace quib::ingest
