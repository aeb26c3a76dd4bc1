// A scratch database for the query tests: created in a fresh temporary directory, removed with
// the fixture, filled through the same increment and finalisation calls that ingestion makes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/dimension_key.h"
#include "core/error.h"
#include "literal_store.h"
#include "storage/dist_store.h"

namespace quib::query::testing_db {

inline core::VariableDefinition categorical(std::string name, std::vector<std::string> names) {
  return {std::move(name), {core::VariableType::Categorical{std::move(names), true}}};
}

inline core::VariableDefinition continuous(std::string name, std::uint32_t bins, double min,
                                           double max) {
  return {std::move(name), {core::VariableType::Continuous{bins, std::make_pair(min, max)}}};
}

// The message of the `quib::Error` that `body` throws.
inline std::string error_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& error) {
    return error.full();
  }
  return "<no error>";
}

class QueryDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quib_query_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    db_.emplace(storage::Database::create_with_options(dir_ + "/db", false));
  }
  void TearDown() override {
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  storage::Database& db() { return *db_; }

  // Adds cell i (a category or a bin) `cells[i]` times, plus `unknown` unknown rows, under
  // `key`, then finalises as a batch would. Returns the distribution's id.
  std::uint64_t add(const std::string& variable, const core::DimensionKey& key,
                    const std::vector<std::uint64_t>& cells, std::uint64_t unknown = 0) {
    const auto* definition = db().schema().find_variable(variable);
    const bool is_histogram =
        definition->var_type.get_if<core::VariableType::Continuous>() != nullptr;
    storage::literal::CountDelta delta{is_histogram ? storage::literal::CountDelta{storage::literal::CountDelta::Histogram{}}
                                           : storage::literal::CountDelta{
                                                 storage::literal::CountDelta::Categorical{}}};
    for (std::uint64_t i = 0; i < cells.size(); ++i) {
      if (cells[i] == 0) continue;
      if (is_histogram) {
        delta.add({storage::literal::SingleDelta::Bin{i}}, cells[i]);
      } else {
        delta.add({storage::literal::SingleDelta::Category{i}}, cells[i]);
      }
    }
    if (unknown != 0) delta.add({storage::literal::SingleDelta::Unknown{}}, unknown);
    storage::literal::increment_distribution(db(), variable, key, delta);
    storage::literal::finalize_distribution(db(), variable, key, core::unix_now());
    return db().find_distribution(variable, key)->id;
  }

  std::string dir_;
  std::optional<storage::Database> db_;
};

}  // namespace quib::query::testing_db
