// Running out of memory in the middle of an ingest: every large allocation in turn is made to
// fail, and each failure must end in std::bad_alloc or a clean error with the database
// consistent and either unchanged or holding the whole ingest, never in a crash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "allocation_probe.h"
#include "core/error.h"
#include "ingest/pipeline.h"
#include "storage/dist_store.h"
#include "row_building.h"
#include "store_consistency.h"

namespace quib::ingest {
namespace {

using allocation_probe::g_countdown;
using allocation_probe::g_fired;
using allocation_probe::g_threshold;

namespace fs = std::filesystem;
using core::json::Value;

constexpr std::size_t kCategories = 5000;  // a key's counters and a distribution's categories
constexpr std::size_t kKeys = 12;          // are then allocations of 40 KiB and more

std::string numbered(std::string prefix, std::size_t n) {
  prefix += std::to_string(n);
  return prefix;
}

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (fs::path(testing::TempDir()) / ("quib_alloc_" + std::to_string(::getpid()))).string();
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  storage::Database create() {
    storage::Database db = storage::Database::create_with_options(dir_, true);
    std::vector<std::string> categories;
    for (std::size_t i = 0; i < kCategories; ++i) categories.push_back(numbered("c", i));
    db.define_variable({"c", {core::VariableType::Categorical{categories, true}}});
    db.define_variable({"x", {core::VariableType::Continuous{10, std::pair{0.0, 1.0}}}});
    db.define_dimension({"k", "k", std::nullopt});
    db.define_dimension({"round", "round", std::nullopt});
    return db;
  }

  // New keys each round, so that groups and distributions are created every time; rows `begin`
  // to `end` of the round.
  static RowTable rows(int round, std::size_t begin = 0, std::size_t end = 2 * kKeys) {
    RowTable table;
    for (std::size_t i = begin; i < end; ++i) {
      const std::vector<std::pair<std::string, Value>> fields = {
          {"k", Value(numbered("key", i % kKeys))},
          {"round", Value(numbered("", static_cast<std::size_t>(round)))},
          {"c", Value(numbered("c", i * 7))},
          {"x", Value(0.05 * static_cast<double>(i % 20))}};
      add_row(table, fields);
    }
    return table;
  }

  std::string dir_;
};

// What must hold whatever failed: one distribution per key, finalised, found by every lookup,
// and an index file that maps exactly the distributions file.
void expect_consistent(const storage::Database& db, std::uint64_t samples) {
  storage::consistency::expect_lookups_match(db);
  storage::consistency::expect_index_on_disk_matches(db.root());
  std::uint64_t total = 0;
  for (const auto& distribution : db.distributions()) {
    EXPECT_EQ(distribution.sample_count, distribution.repr.total_count());
    total += distribution.sample_count;
  }
  EXPECT_EQ(total, samples);
  EXPECT_EQ(db.stats().distributions, samples / 2);  // 2 rows per key and variable
}

// The exact lookup finds every key of a round that landed and none of one undone: a key taken
// back must not lead to the place its distribution held.
void expect_round_found(const storage::Database& db, int round, bool landed) {
  const std::string round_text = std::to_string(round);
  for (std::size_t i = 0; i < kKeys; ++i) {
    const std::string name = numbered("key", i);
    const core::DimensionKey key{{"k", name}, {"round", round_text}};
    for (const char* variable : {"c", "x"}) {
      const core::DistributionObject* found = db.find_distribution(variable, key);
      ASSERT_EQ(found != nullptr, landed) << variable << " " << name << " round " << round;
      if (landed) {
        EXPECT_EQ(found->dimension_key, key);
      }
    }
  }
}

// The rows of a round as one table, or handed in parts of five rows.
class AllocationFailureOnEachRoad : public AllocationFailure,
                                    public testing::WithParamInterface<bool> {
 protected:
  void ingest(storage::Database& db, int round) const {
    if (!GetParam()) {
      IngestionPipeline::ingest_records(db, rows(round));
      return;
    }
    std::size_t next = 0;
    IngestionPipeline::ingest_records(db, [&](RowTable& part) {
      if (next == 2 * kKeys) return false;
      part = rows(round, next, std::min(next + 5, 2 * kKeys));
      next = std::min(next + 5, 2 * kKeys);
      return true;
    });
  }
};

TEST_P(AllocationFailureOnEachRoad, EveryLargeAllocationMayFailWithoutHarm) {
  storage::Database db = create();
  std::uint64_t samples = 0;
  int failures = 0;
  for (long k = 1;; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    g_fired = false;
    g_threshold = 32 << 10;
    g_countdown = k;
    bool failed = false;
    try {
      ingest(db, static_cast<int>(k));
    } catch (const std::bad_alloc&) {
      failed = true;
    } catch (const Error&) {
      failed = true;
    }
    g_countdown = 0;
    ASSERT_EQ(failed, g_fired.load()) << "allocation " << k;
    const std::uint64_t now = db.stats().total_samples;
    // Either nothing of the ingest or all of it (a failure of the flush after the counting).
    ASSERT_TRUE(now == samples || now == samples + 4 * kKeys) << "allocation " << k;
    expect_round_found(db, static_cast<int>(k), now != samples);
    samples = now;
    expect_consistent(db, samples);
    if (!failed) break;
    ++failures;
  }
  EXPECT_GT(failures, 3);
  // The database still takes the same rows once memory is there again.
  ingest(db, 0);
  expect_consistent(db, samples + 4 * kKeys);
}

INSTANTIATE_TEST_SUITE_P(WholeAndInParts, AllocationFailureOnEachRoad, testing::Bool());

}  // namespace
}  // namespace quib::ingest
