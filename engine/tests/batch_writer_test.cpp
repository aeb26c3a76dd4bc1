// One batch writer over several batches against the literal road, one batch at a time: the
// database must end up the same, record for record, also when a batch fails part-way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "ingest/batch_merge.h"
#include "ingest/batch_updater.h"
#include "one_batch.h"
#include "literal_ingest.h"
#include "storage/dist_index.h"
#include "storage/file_format.h"
#include "row_building.h"

namespace quib::ingest {
namespace {

namespace fs = std::filesystem;
using core::json::Value;
using Fields = std::vector<std::pair<std::string, Value>>;

core::Schema test_schema() {
  core::Schema schema;
  schema.variables = {
      {"x", core::VariableType{core::VariableType::Continuous{4, std::pair{0.0, 8.0}}}},
      {"c", core::VariableType{core::VariableType::Categorical{{"a", "b"}, true}}}};
  schema.dimensions = {{"region", "region", std::nullopt}, {"month", "date", "monthly"}};
  return schema;
}

// Keys that come and go from batch to batch, values of every use, and a row that mapping drops.
std::vector<Fields> test_rows() {
  const char* regions[] = {"EU", "US", "EU", "AP", "US", "EU", "SA", "AP"};
  const char* dates[] = {"2024-01-05", "2024-03-01", "2024-01-31", "2024-03-09", "bad"};
  const Value xs[] = {Value(0.5), Value("7.9"), Value("nope"), Value(std::uint64_t{100}),
                      Value(-1.0), Value(nullptr)};
  const Value cs[] = {Value("a"), Value("b"), Value("zz"), Value(std::uint64_t{7}), Value(true)};
  std::vector<Fields> rows;
  for (int i = 0; i < 41; ++i) {
    Fields row = {{"region", Value(regions[(i * 5 + i / 7) % 8])},
                  {"date", Value(dates[(i * 3) % 5])}};
    if (i % 4 != 1) row.emplace_back("x", xs[i % 6]);
    if (i % 3 != 2) row.emplace_back("c", cs[(i / 2) % 5]);
    if (i == 17) row[1].second = Value(nullptr);  // dropped by mapping
    rows.push_back(std::move(row));
  }
  // The key ("late", 2024-03) first appears in the third run of ten rows.
  rows[25] = {{"region", Value("late")}, {"date", Value("2024-03-02")}, {"x", Value(1.0)}};
  return rows;
}

// Everything a database holds except the times of its records.
std::string dump(const storage::Database& db) {
  std::ostringstream out;
  const auto& meta = db.meta();
  out << "next " << meta.next_distribution_id << ' ' << meta.next_joint_id << ' '
      << meta.next_raw_record_id << '\n';
  for (const auto& d : db.distributions()) {
    std::uint64_t entropy_bits;
    std::memcpy(&entropy_bits, &d.entropy, sizeof entropy_bits);
    out << d.id << ' ' << d.variable;
    for (const auto& [name, value] : d.dimension_key) out << ' ' << name << '=' << value;
    out << " n=" << d.sample_count << " H=" << entropy_bits << " v=" << d.version << " |";
    if (const auto* h = d.repr.get_if<core::ReprHistogram>()) {
      for (auto n : h->bin_counts) out << ' ' << n;
      out << " total " << h->total_count;
    } else if (const auto* c = d.repr.get_if<core::ReprCategorical>()) {
      for (auto n : c->counts) out << ' ' << n;
      out << " unknown " << c->unknown_count << " total " << c->total_count;
    }
    out << '\n';
  }
  return out.str();
}

std::string content_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class BatchWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::path(testing::TempDir()) /
            ("batch_writer_" + std::to_string(::getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    for (const auto& variable : schema_.variables) mapping_.variables.emplace(variable.name, variable.name);
    for (const auto& dimension : schema_.dimensions) {
      mapping_.dimensions.emplace(dimension.source_column, dimension.name);
    }
    for (const Fields& fields : rows()) add_row(table_, fields);
    binding_.emplace(mapping_, table_.columns());
    kept_ = column_mapper::kept_rows(table_, *binding_);
    mapped_ = literal::map_rows(table_, *binding_);
  }
  void TearDown() override { fs::remove_all(base_); }
  virtual std::vector<Fields> rows() const { return test_rows(); }

  fs::path dir(const char* name) const { return base_ / name; }

  storage::Database create(const char* name) {
    auto db = storage::Database::create_with_options(dir(name).string(), true);
    for (const auto& variable : schema_.variables) db.define_variable(variable);
    for (const auto& dimension : schema_.dimensions) db.define_dimension(dimension);
    return db;
  }

  // Runs of `run` kept rows through one writer; `before_run` is called before each run. The
  // error text of a failing run ends the list.
  std::vector<std::string> through_writer(storage::Database& db, std::size_t run,
                                          const std::function<void(std::size_t)>& before_run) {
    std::vector<std::string> outcomes;
    batch_updater::BatchWriter writer(db, schema_);
    for (std::size_t start = 0, k = 0; start < kept_.size(); start += run, ++k) {
      before_run(k);
      try {
        outcomes.push_back(describe(writer.apply(table_, *binding_, kept_, start,
                                                 std::min(start + run, kept_.size()))));
      } catch (const Error& error) {
        outcomes.push_back(error.full());
        return outcomes;
      }
    }
    writer.finish();
    return outcomes;
  }

  // The same runs, each through the literal road.
  std::vector<std::string> batch_by_batch(storage::Database& db, std::size_t run,
                                          const std::function<void(std::size_t)>& before_run) {
    std::vector<std::string> outcomes;
    for (std::size_t start = 0, k = 0; start < mapped_.size(); start += run, ++k) {
      before_run(k);
      try {
        outcomes.push_back(describe(literal::apply_batch(
            db, schema_, std::span(mapped_).subspan(start, std::min(run, mapped_.size() - start)))));
      } catch (const Error& error) {
        outcomes.push_back(error.full());
        return outcomes;
      }
    }
    return outcomes;
  }

  static std::string describe(const BatchStats& stats) {
    return std::to_string(stats.processed) + "/" + std::to_string(stats.skipped) + "/" +
           std::to_string(stats.distributions_updated);
  }

  const core::Schema schema_ = test_schema();
  IngestMapping mapping_;
  RowTable table_;
  std::optional<ColumnBinding> binding_;
  KeptRows kept_;
  std::vector<literal::MappedRow> mapped_;
  fs::path base_;
};

class BatchRuns : public BatchWriterTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(BatchRuns, LeaveTheDatabaseOfOneApplyBatchPerRun) {
  auto a = create("writer");
  auto b = create("apply");
  auto c = create("runs");
  const auto nothing = [](std::size_t) {};
  const auto outcomes = through_writer(a, GetParam(), nothing);
  EXPECT_EQ(outcomes, batch_by_batch(b, GetParam(), nothing));
  // All runs handed over at once, resolved ahead of the runs being counted.
  std::vector<std::string> run_outcomes;
  batch_updater::BatchWriter writer(c, schema_);
  writer.apply_runs(table_, *binding_, kept_, GetParam(),
                    [&](const BatchStats& stats) { run_outcomes.push_back(describe(stats)); });
  writer.finish();
  EXPECT_EQ(run_outcomes, outcomes);
  EXPECT_EQ(dump(a), dump(b));
  EXPECT_EQ(dump(c), dump(b));
  for (const char* name : {"writer", "runs"}) {
    EXPECT_EQ(content_of(dir(name) / "raw" / "log_000001.raw"),
              content_of(dir("apply") / "raw" / "log_000001.raw"));
  }
  EXPECT_EQ(kept_.size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(RunLengths, BatchRuns, testing::Values(1, 3, 10, 100));

TEST_F(BatchWriterTest, VersionCountsTheBatchesThatCountedADistribution) {
  auto db = create("writer");
  through_writer(db, 10, [](std::size_t) {});
  // ("late", 2024-03) is counted in the third run only; (EU, 2024-01) in every run.
  const auto* late = db.find_distribution("x", {{"month", "2024-03"}, {"region", "late"}});
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->version, 2u);
  EXPECT_EQ(late->sample_count, 1u);
  const auto* eu = db.find_distribution("c", {{"month", "2024-01"}, {"region", "EU"}});
  ASSERT_NE(eu, nullptr);
  EXPECT_GT(eu->version, 2u);
  EXPECT_EQ(eu->sample_count, eu->repr.total_count());
}

TEST_F(BatchWriterTest, ARawLogFailureLeavesTheEarlierBatchesSettled) {
  auto a = create("writer");
  auto b = create("apply");
  auto break_log = [](const fs::path& root) {
    return [root](std::size_t run) {
      if (run != 2) return;
      fs::remove(root / "raw" / "log_000001.raw");
      fs::create_directory(root / "raw" / "log_000001.raw");
    };
  };
  auto outcomes = through_writer(a, 10, break_log(dir("writer")));
  auto expected = batch_by_batch(b, 10, break_log(dir("apply")));
  ASSERT_EQ(outcomes.size(), 3u);
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(outcomes[2], "open raw segment " + (dir("writer") / "raw" / "log_000001.raw").string() +
                             ": Is a directory (os error 21)");
  outcomes.pop_back();
  expected.pop_back();
  EXPECT_EQ(outcomes, expected);
  EXPECT_EQ(dump(a), dump(b));
}

TEST_F(BatchWriterTest, AFailingLookupLeavesWhatCountingPairByPairLeaves) {
  // A variable of the writer's schema that the database lacks makes the lookup of its
  // distributions fail, after the distributions of `x` under the first key were found.
  for (const char* name : {"writer", "apply"}) {
    auto db = storage::Database::create_with_options(dir(name).string(), true);
    db.define_variable(schema_.variables[0]);
    for (const auto& dimension : schema_.dimensions) db.define_dimension(dimension);
    db.flush();
  }
  auto a = storage::Database::open(dir("writer").string(), true);
  auto b = storage::Database::open(dir("apply").string(), true);
  const auto nothing = [](std::size_t) {};
  const auto outcomes = through_writer(a, 10, nothing);
  EXPECT_EQ(outcomes, batch_by_batch(b, 10, nothing));
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0], "unknown variable 'c'");
  EXPECT_EQ(dump(a), dump(b));
  EXPECT_NE(dump(a).find(" x "), std::string::npos) << "no count of the first lookup stayed";
}

// Enough rows and keys per run that the keys are counted shard by shard on the pool, with keys
// first met in an order unrelated to their shards, coming back after runs without them.
class ManyKeys : public BatchWriterTest {
 protected:
  std::vector<Fields> rows() const override {
    const char* dates[] = {"2024-01-05", "2024-02-01", "2024-03-31", "bad"};
    std::vector<Fields> rows;
    for (std::uint64_t i = 0; i < 60000; ++i) {
      const std::uint64_t region = (i * 7919 + i / 20000 * 13) % (i < 20000 ? 900 : 1200);
      rows.push_back({{"region", Value("r" + std::to_string(region))},
                      {"date", Value(dates[(i / 3) % 4])},
                      {"x", Value(static_cast<double>(i % 97) / 12.0)},
                      {"c", Value(i % 5 == 0 ? "zz" : (i % 2 == 0 ? "a" : "b"))}});
    }
    return rows;
  }
};

TEST_F(ManyKeys, CountedShardByShardLeaveTheDatabaseOfTheLiteralRoad) {
  auto a = create("writer");
  auto b = create("apply");
  const auto nothing = [](std::size_t) {};
  EXPECT_EQ(through_writer(a, 16384, nothing), batch_by_batch(b, 16384, nothing));
  EXPECT_EQ(dump(a), dump(b));
  EXPECT_EQ(content_of(dir("writer") / "raw" / "log_000001.raw"),
            content_of(dir("apply") / "raw" / "log_000001.raw"));
}

TEST(BatchMergeShards, KeysStayInOneShardWhenADimensionNameRepeats) {
  core::Schema schema = test_schema();
  EXPECT_EQ(BatchMerge(ResolvePlan(schema), 8).shards(), 8u);
  EXPECT_EQ(BatchMerge(ResolvePlan(schema), 0).shards(), 1u);
  schema.dimensions.push_back({"region", "date", std::nullopt});
  EXPECT_EQ(BatchMerge(ResolvePlan(schema), 8).shards(), 1u);
}

}  // namespace
}  // namespace quib::ingest
