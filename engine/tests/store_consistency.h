// What the query side relies on, checked against what a database holds. The lookups are made
// again here from the distributions alone, in storage order, and compared with those the
// database answers with; the index file is made again from the distributions file written with
// it. Shared by the tests that damage, interrupt or roll back a database.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/dimension_key.h"
#include "storage/dist_index.h"
#include "storage/dist_store.h"
#include "storage/file_format.h"

namespace quib::storage::consistency {

using Position = Database::Position;
using KeyPairs = std::vector<std::pair<std::string, std::string>>;

inline KeyPairs pairs_of(const core::DimensionKey& key) {
  KeyPairs pairs;
  for (const auto [name, value] : key) pairs.emplace_back(name, value);
  return pairs;
}

// Every distribution is the one the exact lookup finds for its variable and key (the later of
// two under one variable and key, which only a file written by hand holds); the positions per
// variable and per (dimension, value), and the values per dimension, are exactly those of the
// stored keys.
inline void expect_lookups_match(const Database& db) {
  const auto& distributions = db.distributions();
  std::map<std::pair<std::string, KeyPairs>, std::size_t> last_of_key;
  std::map<std::string, std::vector<Position>> of_variable;
  std::map<std::string, std::map<std::string, Database::ValuePositions>> by_pair;
  std::map<std::string, std::set<std::string>> values;
  for (std::size_t i = 0; i < distributions.size(); ++i) {
    const std::string variable = distributions[i].variable;
    last_of_key[{variable, pairs_of(distributions[i].dimension_key)}] = i;
    of_variable[variable].push_back(static_cast<Position>(i));
    for (const auto& [name, value] : pairs_of(distributions[i].dimension_key)) {
      by_pair[variable][name][value].push_back(static_cast<Position>(i));
      values[name].insert(value);
    }
  }
  for (std::size_t i = 0; i < distributions.size(); ++i) {
    const auto& distribution = distributions[i];
    const std::size_t expected =
        last_of_key.at({distribution.variable, pairs_of(distribution.dimension_key)});
    EXPECT_EQ(db.find_distribution(distribution.variable, distribution.dimension_key),
              &distributions[expected])
        << "position " << i << ": "
        << index_key_text(distribution.variable, distribution.dimension_key);
  }

  std::set<std::string> variable_names;
  for (const auto& definition : db.schema().variables) variable_names.insert(definition.name);
  for (const auto& [name, positions] : of_variable) variable_names.insert(name);
  std::set<std::string> dimension_names;
  for (const auto& definition : db.schema().dimensions) dimension_names.insert(definition.name);
  for (const auto& [name, held] : values) dimension_names.insert(name);

  for (const std::string& variable : variable_names) {
    const auto positions = db.positions_of_variable(variable);
    EXPECT_EQ(std::vector<Position>(positions.begin(), positions.end()), of_variable[variable])
        << "variable " << variable;
    for (const std::string& dimension : dimension_names) {
      const auto& expected = by_pair[variable][dimension];
      const Database::ValuePositions* found = db.positions_by_value(variable, dimension);
      if (expected.empty()) {
        EXPECT_EQ(found, nullptr) << variable << " by " << dimension;
        EXPECT_TRUE(db.positions_with_pair(variable, dimension, "").empty());
        continue;
      }
      ASSERT_NE(found, nullptr) << variable << " by " << dimension;
      EXPECT_EQ(*found, expected) << variable << " by " << dimension;
      for (const auto& [value, listed] : expected) {
        const auto with_pair = db.positions_with_pair(variable, dimension, value);
        EXPECT_EQ(std::vector<Position>(with_pair.begin(), with_pair.end()), listed)
            << variable << " at " << dimension << ":" << value;
      }
    }
  }
  for (const std::string& dimension : dimension_names) {
    EXPECT_EQ(db.dimension_values(dimension), values[dimension]) << "dimension " << dimension;
  }
}

// The index file maps exactly the key texts of the distributions file beside it, each to the
// id of the last distribution with that text.
inline void expect_index_on_disk_matches(const std::string& root) {
  const auto stored = file_format::read_file<DistributionFile>(root + "/distributions.edb");
  DistIndex expected;
  for (const auto& distribution : stored.distributions) {
    expected.by_key[distribution.variable.str() + "|" +
                    core::canonical_dimension_key(distribution.dimension_key)] = distribution.id;
  }
  EXPECT_EQ(file_format::read_file<DistIndex>(root + "/dist_index.edb"), expected) << root;
  EXPECT_EQ(rebuild_index(stored.distributions), expected) << root;
}

}  // namespace quib::storage::consistency
