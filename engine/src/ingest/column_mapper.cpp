#include "ingest/column_mapper.h"

#include <algorithm>
#include <utility>

#include "ingest/worker_pool.h"

namespace quib::ingest {
namespace {

// Whether a dimension value can be written as text: a string, a boolean or a number.
bool has_dimension_text(const Cell& value) {
  return value.kind() != Cell::Kind::Null && value.kind() != Cell::Kind::Nested;
}

// The text of a non-string dimension value, appended to `out`.
void render_dimension(const Cell& value, std::string& out) {
  if (value.kind() == Cell::Kind::Bool) {
    out += value.as_bool() ? "true" : "false";
  } else {
    value.write_json(out);  // numbers as the JSON writer writes them
  }
}

std::vector<std::string_view> distinct_sorted(const std::unordered_map<std::string, std::string>& map) {
  std::vector<std::string_view> names;
  names.reserve(map.size());
  for (const auto& entry : map) names.emplace_back(entry.second);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

std::uint32_t slot_in(std::span<const std::string_view> names, std::string_view name) {
  return static_cast<std::uint32_t>(std::lower_bound(names.begin(), names.end(), name) -
                                    names.begin());
}

bool keeps(const Row& row, const ColumnBinding& binding) {
  std::size_t found = 0;
  for (const Field& field : row.fields) {
    if (binding.dimension_slot(field.column) == ColumnBinding::kNoSlot) continue;
    if (!has_dimension_text(field.value)) return false;
    ++found;
  }
  return found == binding.required_dimensions();
}

}  // namespace

ColumnBinding::ColumnBinding(const IngestMapping& mapping, std::span<const std::string> columns)
    : variable_names_(distinct_sorted(mapping.variables)),
      dimension_names_(distinct_sorted(mapping.dimensions)),
      variable_slots_(columns.size(), kNoSlot),
      dimension_slots_(columns.size(), kNoSlot),
      required_dimensions_(mapping.dimensions.size()) {
  for (std::size_t id = 0; id < columns.size(); ++id) {
    if (auto it = mapping.variables.find(columns[id]); it != mapping.variables.end()) {
      variable_slots_[id] = slot_in(variable_names_, it->second);
    }
    if (auto it = mapping.dimensions.find(columns[id]); it != mapping.dimensions.end()) {
      dimension_slots_[id] = slot_in(dimension_names_, it->second);
      ++dimension_columns_present_;
    }
  }
}

KeptRows KeptRows::all(std::size_t count) {
  KeptRows rows;
  rows.count_ = count;
  return rows;
}

KeptRows KeptRows::listed(std::vector<std::size_t> list) {
  KeptRows rows;
  rows.all_ = false;
  rows.rows_ = std::move(list);
  return rows;
}

namespace column_mapper {

bool project(const Row& row, const ColumnBinding& binding, SlotRow& out) {
  out.variables.assign(binding.variable_names().size(), nullptr);
  // A row maps only when every mapped dimension column is present, and each one present writes
  // its slot below: the dimension slots need no clearing.
  out.dimensions.resize(binding.dimension_names().size());
  out.rendered.clear();
  out.rendered_at.resize(binding.dimension_names().size());
  std::size_t dimensions_found = 0;
  bool any_rendered = false;
  // Fields come in name order; for a name fed by two columns the later one wins.
  for (const Field& field : row.fields) {
    if (const std::uint32_t slot = binding.dimension_slot(field.column);
        slot != ColumnBinding::kNoSlot) {
      const Cell& value = field.value;
      if (value.kind() == Cell::Kind::Text) {
        out.dimensions[slot] = value.as_text();
        out.rendered_at[slot].first = SlotRow::kNotRendered;
      } else {
        if (!has_dimension_text(value)) return false;
        const std::size_t begin = out.rendered.size();
        render_dimension(value, out.rendered);
        out.rendered_at[slot] = {begin, out.rendered.size() - begin};
        any_rendered = true;
      }
      ++dimensions_found;
    }
    if (const std::uint32_t slot = binding.variable_slot(field.column);
        slot != ColumnBinding::kNoSlot) {
      out.variables[slot] = &field.value;
    }
  }
  if (dimensions_found != binding.required_dimensions()) return false;
  if (any_rendered) {
    // Views into `rendered` are taken once it no longer grows.
    for (std::size_t slot = 0; slot < out.rendered_at.size(); ++slot) {
      const auto [begin, size] = out.rendered_at[slot];
      if (begin != SlotRow::kNotRendered) {
        out.dimensions[slot] = std::string_view(out.rendered).substr(begin, size);
      }
    }
  }
  return true;
}

KeptRows kept_rows(const RowTable& table, const ColumnBinding& binding) {
  const std::size_t n = table.size();
  if (table.every_row_full_text()) {
    // Every row holds every column as text: all rows keep or none does.
    return binding.dimension_columns_present() == binding.required_dimensions()
               ? KeptRows::all(n)
               : KeptRows::listed({});
  }
  const std::size_t chunks = std::clamp<std::size_t>(n / 4096, 1, worker_pool::concurrency() * 4);
  std::vector<std::vector<std::size_t>> parts(chunks);
  worker_pool::for_each_chunk(n, chunks, [&](std::size_t c, std::size_t begin, std::size_t end) {
    RowScratch scratch;
    for (std::size_t i = begin; i < end; ++i) {
      if (keeps(table.row(i, scratch), binding)) parts[c].push_back(i);
    }
  });
  std::size_t kept = 0;
  for (const auto& part : parts) kept += part.size();
  if (kept == n) return KeptRows::all(n);
  std::vector<std::size_t> rows;
  rows.reserve(kept);
  for (const auto& part : parts) rows.insert(rows.end(), part.begin(), part.end());
  return KeptRows::listed(std::move(rows));
}

}  // namespace column_mapper
}  // namespace quib::ingest
