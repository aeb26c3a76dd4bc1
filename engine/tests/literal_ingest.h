// The ingestion of mapped rows written literally: a row mapped into a named form, resolved on
// its own, its raw-log record appended, its counts gathered into one delta per (variable, key)
// and handed to the database pair by pair. The independent oracle that the tests hold the fast
// road (column_mapper::project, the batch writer and its merge) to; it shares only the per-value
// rules of `ResolvePlan` with it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/dimension_key.h"
#include "core/json.h"
#include "core/schema.h"
#include "ingest/batch_updater.h"
#include "one_batch.h"
#include "ingest/column_mapper.h"
#include "ingest/row.h"
#include "ingest/row_resolver.h"
#include "literal_store.h"
#include "storage/dist_store.h"

namespace quib::ingest::literal {

using storage::literal::CountDelta;
using storage::literal::SingleDelta;

struct MappedVariable {
  std::string_view name;
  const Cell* value = nullptr;  // never null in a mapped row
};

struct MappedDimension {
  std::string_view name;
  // The row's own text when the value was a JSON string; otherwise nothing and the text is held
  // in `rendered` (a number or boolean written as JSON writes it).
  std::optional<std::string_view> source;
  std::string rendered;

  std::string_view text() const { return source ? *source : std::string_view(rendered); }
};

struct MappedRow {
  std::vector<MappedVariable> variables;    // ordered by name bytes, one entry per name
  std::vector<MappedDimension> dimensions;  // ordered by name bytes, one entry per name

  // Lookups by exact name; null when absent.
  const Cell* variable(std::string_view name) const {
    const MappedVariable* entry = find(variables, name);
    return entry != nullptr ? entry->value : nullptr;
  }
  const MappedDimension* dimension(std::string_view name) const { return find(dimensions, name); }

 private:
  template <typename Entry>
  static const Entry* find(const std::vector<Entry>& entries, std::string_view name) {
    auto it = std::lower_bound(entries.begin(), entries.end(), name,
                               [](const Entry& e, std::string_view n) { return e.name < n; });
    return it != entries.end() && it->name == name ? &*it : nullptr;
  }
};

// Puts the entries in name order, keeping for a repeated name the entry of the later column.
template <typename Entry>
void order_by_name(std::vector<Entry>& entries) {
  auto by_name = [](const Entry& a, const Entry& b) { return a.name < b.name; };
  std::stable_sort(entries.begin(), entries.end(), by_name);
  std::vector<Entry> kept;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].name == entries[i].name) continue;
    kept.push_back(std::move(entries[i]));
  }
  entries = std::move(kept);
}

// The mapped form of `row`, or nothing when the row lacks a mapped dimension column or holds
// null, an array or an object there.
inline std::optional<MappedRow> map_row(const Row& row, const ColumnBinding& binding) {
  MappedRow mapped;
  std::size_t dimensions_found = 0;
  for (const Field& field : row.fields) {
    if (const std::uint32_t slot = binding.dimension_slot(field.column);
        slot != ColumnBinding::kNoSlot) {
      const Cell& value = field.value;
      if (value.kind() == Cell::Kind::Null || value.kind() == Cell::Kind::Nested) {
        return std::nullopt;
      }
      MappedDimension entry{binding.dimension_names()[slot], std::nullopt, {}};
      if (value.kind() == Cell::Kind::Text) {
        entry.source = value.as_text();
      } else if (value.kind() == Cell::Kind::Bool) {
        entry.rendered = value.as_bool() ? "true" : "false";
      } else {
        value.write_json(entry.rendered);
      }
      mapped.dimensions.push_back(std::move(entry));
      ++dimensions_found;
    }
    if (const std::uint32_t slot = binding.variable_slot(field.column);
        slot != ColumnBinding::kNoSlot) {
      mapped.variables.push_back(MappedVariable{binding.variable_names()[slot], &field.value});
    }
  }
  if (dimensions_found != binding.required_dimensions()) return std::nullopt;
  order_by_name(mapped.variables);
  order_by_name(mapped.dimensions);
  return mapped;
}

// Every row of a table that keeps its cells (not a CSV table) that mapping keeps.
inline std::vector<MappedRow> map_rows(const RowTable& table, const ColumnBinding& binding) {
  std::vector<MappedRow> mapped;
  RowScratch scratch;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (auto m = map_row(table.row(i, scratch), binding)) mapped.push_back(std::move(*m));
  }
  return mapped;
}

// One mapped row resolved against a schema.
struct ResolvedRow {
  // In the order of the schema's variables, at most one per variable.
  std::vector<std::pair<std::string, SingleDelta>> single_deltas;
  // In the order of the schema's joints, the pair as listed there; the cell in the orientation
  // of the stored joint distribution.
  using Pair = std::pair<std::string, std::string>;
  using JointIndices = std::pair<std::uint64_t, std::uint64_t>;
  std::vector<std::pair<Pair, JointIndices>> joint_cells;
  core::DimensionKey dimension_key;
  // Every variable value of the row, usable or not, ordered by name bytes.
  core::json::Object raw_values;
};

// The row against the plan's schema, or nothing when the row lacks a dimension of the schema.
inline std::optional<ResolvedRow> resolve_row(const ResolvePlan& plan, const MappedRow& row) {
  std::vector<const Cell*> values;
  for (const auto& variable : plan.variables()) values.push_back(row.variable(variable.name));
  std::vector<std::string_view> texts(plan.dimensions().size());
  std::vector<const std::string_view*> dimensions(texts.size());
  for (std::size_t d = 0; d < texts.size(); ++d) {
    if (const MappedDimension* mapped = row.dimension(plan.dimensions()[d].name)) {
      texts[d] = mapped->text();
      dimensions[d] = &texts[d];
    }
  }
  std::string key;
  std::vector<std::uint64_t> codes(values.size());
  std::vector<JointCell> cells(plan.joints().size());
  if (!plan.resolve(RowValues{values, dimensions}, key, codes, cells)) return std::nullopt;
  ResolvedRow resolved;
  for (std::size_t v = 0; v < codes.size(); ++v) {
    if (codes[v] == ResolvePlan::kNoDelta) continue;
    const auto& variable = plan.variables()[v];
    SingleDelta delta{SingleDelta::Category{codes[v]}};
    if (variable.kind == ResolvePlan::Kind::Continuous) {
      delta = SingleDelta{SingleDelta::Bin{codes[v]}};
    } else if (codes[v] == ResolvePlan::kUnknown) {
      delta = SingleDelta{SingleDelta::Unknown{}};
    }
    resolved.single_deltas.emplace_back(std::string(variable.name), delta);
  }
  for (std::size_t j = 0; j < cells.size(); ++j) {
    if (cells[j].first == ResolvePlan::kNoCell) continue;
    const auto& joint = plan.joints()[j];
    resolved.joint_cells.push_back({{std::string(joint.a), std::string(joint.b)},
                                    {cells[j].first, cells[j].second}});
  }
  resolved.dimension_key = core::dimension_key_from_pairs(plan.key_pairs(key));
  for (const MappedVariable& variable : row.variables) {
    resolved.raw_values.emplace(std::string(variable.name), variable.value->to_json());
  }
  return resolved;
}

inline std::optional<ResolvedRow> resolve_row(const core::Schema& schema, const MappedRow& row) {
  return resolve_row(ResolvePlan(schema), row);
}

// One batch: the raw-log records of the resolved rows in row order, then per dimension key (in
// order of its first row) one increment per variable name (in schema order), then the joint
// cells, then every counted distribution finalised. A failure keeps what came before it.
inline BatchStats apply_batch(storage::Database& db, const core::Schema& schema,
                              std::span<const MappedRow> rows) {
  const ResolvePlan plan(schema);
  BatchStats stats;
  std::vector<ResolvedRow> resolved;
  for (const MappedRow& row : rows) {
    if (auto r = resolve_row(plan, row)) {
      resolved.push_back(std::move(*r));
    } else {
      ++stats.skipped;
    }
  }
  stats.processed = resolved.size();
  if (db.meta().raw_log_enabled && !resolved.empty()) {
    std::vector<core::json::Value> payloads;
    for (const ResolvedRow& r : resolved) payloads.emplace_back(r.raw_values);
    storage::literal::append_raw_records(db, payloads);
  }

  std::vector<std::string> names;  // distinct variable names in schema order
  for (const auto& variable : schema.variables) {
    if (std::find(names.begin(), names.end(), variable.name) == names.end()) {
      names.push_back(variable.name);
    }
  }
  using Cells = std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>;
  struct KeyCounts {
    core::DimensionKey key;
    std::map<std::string, CountDelta> deltas;
    std::map<std::pair<std::string, std::string>, Cells> cells;
  };
  std::vector<KeyCounts> keys;  // in order of first row
  for (const ResolvedRow& r : resolved) {
    auto it = std::find_if(keys.begin(), keys.end(),
                           [&](const KeyCounts& k) { return k.key == r.dimension_key; });
    if (it == keys.end()) it = keys.insert(keys.end(), KeyCounts{r.dimension_key, {}, {}});
    for (const auto& [name, delta] : r.single_deltas) {
      it->deltas.try_emplace(name, CountDelta::shaped_by(delta)).first->second.add(delta);
    }
    for (const auto& [pair, cell] : r.joint_cells) ++it->cells[pair][cell];
  }

  std::vector<std::pair<std::string, core::DimensionKey>> touched;
  for (const KeyCounts& k : keys) {
    for (const std::string& name : names) {
      auto delta = k.deltas.find(name);
      if (delta == k.deltas.end()) continue;
      storage::literal::increment_distribution(db, name, k.key, delta->second);
      touched.emplace_back(name, k.key);
    }
  }
  for (const KeyCounts& k : keys) {
    std::set<std::pair<std::string, std::string>> added;  // a pair listed again adds nothing
    for (const auto& [a, b] : schema.joints) {
      auto cells = k.cells.find({a, b});
      if (cells == k.cells.end() || !added.insert({a, b}).second) continue;
      db.ensure_joint_distribution(a, b, k.key);
      core::JointDistributionObject* joint = db.get_joint_distribution_mut(a, b, k.key);
      for (const auto& [cell, n] : cells->second) joint->add_to_cell(cell.first, cell.second, n);
    }
  }
  storage::literal::finalize_distributions(db, touched);
  stats.distributions_updated = touched.size();
  return stats;
}

}  // namespace quib::ingest::literal
