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
#include "storage/file_format.h"

namespace quib::query::testing_db {

inline core::VariableDefinition categorical(std::string name, std::vector<std::string> names) {
  return {std::move(name), {core::VariableType::Categorical{std::move(names), true}}};
}

inline core::VariableDefinition continuous(std::string name, std::uint32_t bins,
                                           std::optional<std::pair<double, double>> range) {
  return {std::move(name), {core::VariableType::Continuous{bins, range}}};
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

  // Replaces the database by one over `schema` written beforehand, as only a stored schema can
  // list joints.
  void recreate_with(const core::Schema& schema) {
    db_.reset();
    std::filesystem::remove_all(dir_ + "/db");
    std::filesystem::create_directories(dir_ + "/db");
    storage::MetaFile meta;
    meta.schema = schema;
    storage::file_format::write_file(dir_ + "/db/meta.edb", meta);
    db_.emplace(storage::Database::create_with_options(dir_ + "/db", false));
  }

  // Adds cell i (a category or a bin) `cells[i]` times, plus `unknown` unknown rows, under
  // `key`, then finalises as a batch would. Returns the distribution's id.
  std::uint64_t add(const std::string& variable, const core::DimensionKey& key,
                    const std::vector<std::uint64_t>& cells, std::uint64_t unknown = 0) {
    using storage::literal::SingleDelta;
    const bool is_histogram = db().schema().find_variable(variable)->var_type.get_if<
                                  core::VariableType::Continuous>() != nullptr;
    auto delta = storage::literal::CountDelta::shaped_by(
        is_histogram ? SingleDelta{SingleDelta::Bin{0}} : SingleDelta{SingleDelta::Unknown{}});
    for (std::uint64_t i = 0; i < cells.size(); ++i) {
      delta.add(is_histogram ? SingleDelta{SingleDelta::Bin{i}}
                             : SingleDelta{SingleDelta::Category{i}},
                cells[i]);
    }
    if (unknown != 0) delta.add({SingleDelta::Unknown{}}, unknown);
    storage::literal::increment_distribution(db(), variable, key, delta);
    storage::literal::finalize_distribution(db(), variable, key, core::unix_now());
    return db().find_distribution(variable, key)->id;
  }

  std::string dir_;
  std::optional<storage::Database> db_;
};

}  // namespace quib::query::testing_db
