// Rows for the batch tests: tables mapped through a mapping, or mapped rows made by hand, with
// the small definitions and deltas the resolve and batch tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/json_writer.h"
#include "ingest/batch_updater.h"
#include "ingest/schema_inference.h"
#include "literal_ingest.h"
#include "one_batch.h"
#include "row_building.h"

namespace quib::ingest::batch_rows {

using core::json::Value;
using Fields = std::vector<std::pair<std::string, Value>>;
using literal::MappedRow;
using literal::SingleDelta;

inline core::VariableDefinition continuous(std::string name, std::uint32_t bins,
                                           std::optional<std::pair<double, double>> range) {
  return {std::move(name), core::VariableType{core::VariableType::Continuous{bins, range}}};
}

inline core::VariableDefinition categorical(std::string name,
                                            std::vector<std::string> categories,
                                            bool allow_unknown) {
  return {std::move(name), core::VariableType{core::VariableType::Categorical{
                               std::move(categories), allow_unknown}}};
}

// Rows mapped through a mapping (the schema's identity mapping unless given), kept alive together
// because mapped rows borrow from them. A single row is resolved in the named form; a batch goes
// through the batch updater itself.
class Rows {
 public:
  Rows(const core::Schema& schema, const std::vector<Fields>& rows,
       std::optional<IngestMapping> mapping = std::nullopt)
      : mapping_(mapping ? std::move(*mapping) : schema_inference::identity_mapping(schema)) {
    for (const Fields& fields : rows) add_row(table_, fields);
    binding_.emplace(mapping_, table_.columns());
    kept_ = column_mapper::kept_rows(table_, *binding_);
    mapped_ = literal::map_rows(table_, *binding_);
  }
  std::size_t kept() const { return kept_.size(); }
  const MappedRow& operator[](std::size_t i) const { return mapped_[i]; }
  BatchStats apply(storage::Database& db, const core::Schema& schema) const {
    return batch_updater::apply_batch(db, schema, table_, *binding_, kept_);
  }

 private:
  RowTable table_;
  IngestMapping mapping_;
  std::optional<ColumnBinding> binding_;
  KeptRows kept_;
  std::vector<MappedRow> mapped_;
};

// Mapped rows made by hand, for shapes that mapping itself never produces (a row lacking one of
// the schema's dimensions while holding the others); only the named form takes them.
class HandRows {
 public:
  void add(const Fields& variables, const std::vector<std::pair<std::string, std::string>>& dims) {
    MappedRow row;
    for (const auto& [name, value] : variables) {
      const Cell& cell = cells_.emplace_back(Cell::borrow(values_.emplace_back(value)));
      row.variables.push_back({names_.emplace_back(name), &cell});
    }
    for (const auto& [name, text] : dims) {
      row.dimensions.push_back({names_.emplace_back(name), std::nullopt, text});
    }
    auto by_name = [](const auto& a, const auto& b) { return a.name < b.name; };
    std::sort(row.variables.begin(), row.variables.end(), by_name);
    std::sort(row.dimensions.begin(), row.dimensions.end(), by_name);
    rows_.push_back(std::move(row));
  }
  BatchStats apply(storage::Database& db, const core::Schema& schema) const {
    return literal::apply_batch(db, schema, rows_);
  }

 private:
  std::deque<std::string> names_;
  std::deque<Value> values_;
  std::deque<Cell> cells_;
  std::vector<MappedRow> rows_;
};

inline std::optional<SingleDelta> delta_of(const core::Schema& schema, const Value& value) {
  Rows rows(schema, {{{schema.variables[0].name, value}}});
  const auto resolved = literal::resolve_row(schema, rows[0]);
  EXPECT_TRUE(resolved);
  if (!resolved || resolved->single_deltas.empty()) return std::nullopt;
  return resolved->single_deltas[0].second;
}

inline SingleDelta bin(std::uint64_t i) { return SingleDelta{SingleDelta::Bin{i}}; }
inline SingleDelta category(std::uint64_t i) { return SingleDelta{SingleDelta::Category{i}}; }
inline const SingleDelta kUnknown{SingleDelta::Unknown{}};


// Two categorical and two continuous variables, named so that byte order and schema order differ.
inline const auto kZeta = categorical("zeta", {"z0", "z1"}, true);
inline const auto kAlpha = categorical("alpha", {"a0", "a1", "3"}, true);
inline const auto kWide = continuous("wide", 10, std::pair{0.0, 100.0});
inline const auto kNarrow = continuous("narrow", 4, std::pair{0.0, 1.0});

}  // namespace quib::ingest::batch_rows
