// Sample file records for the tests of the codec, the container files and their fuzzing: one
// of each record, together holding every variant, optional and map shape that is stored.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "storage/records.h"

namespace quib::storage::samples {

inline core::DistributionRepr histogram(std::vector<std::uint64_t> bins, double min = 0.0,
                                 double max = 1.0) {
  std::uint64_t total = 0;
  for (auto b : bins) total += b;
  return {core::DistributionRepr::Histogram{min, max, std::move(bins), total}};
}

inline core::DistributionObject distribution(std::uint64_t id, std::string variable,
                                      core::DimensionKey key, core::DistributionRepr repr) {
  core::DistributionObject object;
  object.id = id;
  object.variable = std::move(variable);
  object.dimension_key = std::move(key);
  object.repr = std::move(repr);
  object.sample_count = object.repr.total_count();
  object.entropy = 0.5;
  object.last_updated = 1'700'000'000;
  object.version = 4;
  object.raw_record_range = {7, 9};
  return object;
}

inline MetaFile sample_meta() {
  MetaFile meta;
  meta.schema.variables.push_back({"price", {core::VariableType::Continuous{10, std::nullopt}}});
  meta.schema.variables.push_back(
      {"size", {core::VariableType::Continuous{3, std::pair{-2.5, 7.25}}}});
  meta.schema.variables.push_back(
      {"color", {core::VariableType::Categorical{{"red", "grün", ""}, true}}});
  meta.schema.dimensions.push_back({"region", "Region", std::nullopt});
  meta.schema.dimensions.push_back({"day", "date", std::string("daily")});
  meta.schema.joints.push_back({"color", "price"});
  meta.next_distribution_id = 12;
  meta.next_joint_id = 3;
  meta.next_raw_record_id = 99;
  meta.format_version = 3;
  meta.raw_log_enabled = true;
  meta.high_water_mark = 5;
  return meta;
}

inline DistributionFile sample_distributions() {
  DistributionFile file;
  file.distributions.push_back(distribution(1, "price", {}, histogram({1, 0, 4})));
  file.distributions.push_back(distribution(
      2, "color", {{"region", "EU"}, {"year", "2024"}},
      {core::DistributionRepr::Categorical{{"red", "blue"}, {3, 4}, 2, 9}}));
  core::JointDistributionObject grid;
  grid.id = 1;
  grid.variables = {"price", "size"};
  grid.repr = {
      core::JointRepr::HistogramGrid{0.0, 1.0, 2, -1.0, 1.0, 3, {{1, 2, 3}, {4, 5, 6}}, 21}};
  grid.sample_count = 21;
  grid.last_updated = 17;
  core::JointDistributionObject table = grid;
  table.id = 2;
  table.variables = {"a", "b"};
  table.dimension_key = {{"region", "US"}};
  table.repr = {core::JointRepr::ContingencyTable{{"x"}, {"p", "q"}, {{0, 8}}, 8}};
  core::JointDistributionObject conditional = grid;
  conditional.id = 3;
  conditional.variables = {"color", "price"};
  conditional.repr = {core::JointRepr::ConditionalHistograms{
      {"red", "blue"}, {histogram({1, 1}), histogram({0, 2}, -3.0, 3.0)}, 4}};
  file.joints = {grid, table, conditional};
  return file;
}

inline DistIndex sample_index() {
  DistIndex index;
  index.by_key = {{"price|", 1}, {"color|region:EU/year:2024", 2}};
  return index;
}

inline SnapshotStore sample_snapshots() {
  SnapshotStore store;
  store.entries["price|"] = {
      {1, 1'600'000'000, distribution(1, "price", {}, histogram({2, 2}))},
      {2, 1'600'000'100, distribution(1, "price", {}, histogram({2, 3}))},
  };
  store.entries["empty"] = {};
  return store;
}

template <typename Record>
Record sample();
template <>
inline MetaFile sample<MetaFile>() { return sample_meta(); }
template <>
inline DistributionFile sample<DistributionFile>() { return sample_distributions(); }
template <>
inline DistIndex sample<DistIndex>() { return sample_index(); }
template <>
inline SnapshotStore sample<SnapshotStore>() { return sample_snapshots(); }

// Every file record, for typed tests.
using FileRecords = ::testing::Types<MetaFile, DistributionFile, DistIndex, SnapshotStore>;

}  // namespace quib::storage::samples
