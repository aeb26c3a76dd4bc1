#include "ingest/column_mapper.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "ingest/worker_pool.h"

namespace quib::ingest {
namespace {

template <typename Entry>
const Entry* find_by_name(const std::vector<Entry>& entries, std::string_view name) {
  auto it = std::lower_bound(entries.begin(), entries.end(), name,
                             [](const Entry& e, std::string_view n) { return e.name < n; });
  return it != entries.end() && it->name == name ? &*it : nullptr;
}

// Puts the entries in name order, keeping for a repeated name the entry of the later column.
// Entries arrive in column-name order, so with the identity mapping they are already in order.
template <typename Entry>
void order_by_name(std::vector<Entry>& entries) {
  auto by_name = [](const Entry& a, const Entry& b) { return a.name < b.name; };
  if (std::is_sorted(entries.begin(), entries.end(), by_name)) {
    bool repeated = false;
    for (std::size_t i = 1; i < entries.size() && !repeated; ++i) {
      repeated = entries[i - 1].name == entries[i].name;
    }
    if (!repeated) return;
  }
  std::stable_sort(entries.begin(), entries.end(), by_name);
  // Of each run of equal names keep the last, which came from the later column.
  std::vector<Entry> kept;
  kept.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].name == entries[i].name) continue;
    kept.push_back(std::move(entries[i]));
  }
  entries = std::move(kept);
}

// The text of a dimension value, or false when the row must be dropped.
bool dimension_text(const core::json::Value& value, MappedDimension& out) {
  if (const auto* text = value.get_if<std::string>()) {
    out.source = text;
    return true;
  }
  if (const auto* flag = value.get_if<bool>()) {
    out.rendered = *flag ? "true" : "false";
    return true;
  }
  if (value.get_if<std::uint64_t>() != nullptr || value.get_if<std::int64_t>() != nullptr ||
      value.get_if<double>() != nullptr) {
    core::json::write(out.rendered, value);
    return true;
  }
  return false;  // null, array or object
}

}  // namespace

const core::json::Value* MappedRow::variable(std::string_view name) const {
  const MappedVariable* entry = find_by_name(variables, name);
  return entry != nullptr ? entry->value : nullptr;
}

const MappedDimension* MappedRow::dimension(std::string_view name) const {
  return find_by_name(dimensions, name);
}

ColumnBinding::ColumnBinding(const IngestMapping& mapping, std::span<const std::string> columns)
    : variable_by_column_(columns.size(), nullptr),
      dimension_by_column_(columns.size(), nullptr),
      required_dimensions_(mapping.dimensions.size()) {
  for (std::size_t id = 0; id < columns.size(); ++id) {
    if (auto it = mapping.variables.find(columns[id]); it != mapping.variables.end()) {
      variable_by_column_[id] = &it->second;
    }
    if (auto it = mapping.dimensions.find(columns[id]); it != mapping.dimensions.end()) {
      dimension_by_column_[id] = &it->second;
    }
  }
}

const std::string* ColumnBinding::variable_of(std::uint32_t column) const {
  return column < variable_by_column_.size() ? variable_by_column_[column] : nullptr;
}

const std::string* ColumnBinding::dimension_of(std::uint32_t column) const {
  return column < dimension_by_column_.size() ? dimension_by_column_[column] : nullptr;
}

namespace schema_inference {

IngestMapping identity_mapping(const core::Schema& schema) {
  IngestMapping mapping;
  for (const auto& variable : schema.variables) {
    mapping.variables.insert_or_assign(variable.name, variable.name);
  }
  for (const auto& dimension : schema.dimensions) {
    mapping.dimensions.insert_or_assign(dimension.source_column, dimension.name);
  }
  return mapping;
}

}  // namespace schema_inference

namespace column_mapper {

std::optional<MappedRow> map_row(const Row& row, const ColumnBinding& binding) {
  MappedRow mapped;
  std::size_t dimensions_found = 0;
  for (const auto& [column, value] : row.fields) {
    if (const std::string* dimension = binding.dimension_of(column)) {
      MappedDimension entry{*dimension, nullptr, {}};
      if (!dimension_text(value, entry)) return std::nullopt;
      if (mapped.dimensions.empty()) mapped.dimensions.reserve(binding.required_dimensions());
      mapped.dimensions.push_back(std::move(entry));
      ++dimensions_found;
    }
    if (const std::string* variable = binding.variable_of(column)) {
      if (mapped.variables.empty()) mapped.variables.reserve(row.fields.size());
      mapped.variables.push_back(MappedVariable{*variable, &value});
    }
  }
  if (dimensions_found != binding.required_dimensions()) return std::nullopt;
  order_by_name(mapped.variables);
  order_by_name(mapped.dimensions);
  return mapped;
}

std::vector<MappedRow> map_rows(const RowTable& table, const ColumnBinding& binding) {
  // Mapping renders numbers and fills two small vectors per row; on a large file that is worth
  // the pool. Each chunk maps consecutive rows, and the chunks are joined in order.
  const std::size_t n = table.rows.size();
  const std::size_t chunks = std::clamp<std::size_t>(n / 4096, 1, worker_pool::concurrency() * 4);
  std::vector<std::vector<MappedRow>> parts(chunks);
  worker_pool::for_each_chunk(n, chunks, [&](std::size_t c, std::size_t begin, std::size_t end) {
    parts[c].reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      if (auto m = map_row(table.rows[i], binding)) parts[c].push_back(std::move(*m));
    }
  });
  std::vector<MappedRow> mapped;
  mapped.reserve(n);
  for (auto& part : parts) {
    std::move(part.begin(), part.end(), std::back_inserter(mapped));
  }
  return mapped;
}

}  // namespace column_mapper
}  // namespace quib::ingest
