// The database: create and open, flush, the read-only refusals and fallbacks, counting, joints,
// lookups, raw records, keys that share one index text, and what a crash during flush leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/error.h"
#include "literal_store.h"
#include "storage/codec.h"
#include "storage/dist_store.h"
#include "store_lookups.h"

namespace quib::storage {
namespace {

namespace fs = std::filesystem;
using namespace literal;
using core::DimensionKey;
using core::json::Object;
using core::json::Value;

constexpr const char* kRecordFiles[] = {"meta.edb", "distributions.edb", "dist_index.edb",
                                        "snapshots.edb"};

std::string content_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_bytes(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

// Every file under a directory with its bytes and modification time, to show that nothing moved.
std::map<std::string, std::pair<std::string, std::int64_t>> tree_state(const std::string& dir) {
  std::map<std::string, std::pair<std::string, std::int64_t>> state;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    ::stat(entry.path().c_str(), &st);
    const std::int64_t mtime_ns = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    state[entry.path().string()] = {
        entry.is_regular_file() ? content_of(entry.path().string()) : std::string("<dir>"),
        mtime_ns};
  }
  return state;
}

core::VariableDefinition categorical(std::string name, std::vector<std::string> categories) {
  return {std::move(name), {core::VariableType::Categorical{std::move(categories), true}}};
}

core::VariableDefinition continuous(std::string name, std::uint32_t bins,
                                    std::optional<std::pair<double, double>> range = {}) {
  return {std::move(name), {core::VariableType::Continuous{bins, range}}};
}

CountDelta categories(std::initializer_list<std::pair<SingleDelta, std::uint64_t>> counts) {
  CountDelta delta{CountDelta::Categorical{}};
  for (const auto& [key, n] : counts) delta.add(key, n);
  return delta;
}

CountDelta bins(std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> counts) {
  CountDelta delta{CountDelta::Histogram{}};
  for (const auto& [bin, n] : counts) delta.add(SingleDelta{SingleDelta::Bin{bin}}, n);
  return delta;
}

SingleDelta category(std::uint64_t index) { return SingleDelta{SingleDelta::Category{index}}; }
const SingleDelta kUnknown{SingleDelta::Unknown{}};

std::string error_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& error) {
    return error.full();
  }
  return "<no error>";
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quib_db_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    path_ = base_ + "/nested/db";
  }
  void TearDown() override { fs::remove_all(base_); }

  // A database with a categorical `color`, a continuous `size` and a dimension `region`.
  Database filled() {
    Database db = Database::create_with_options(path_, true);
    db.define_variable(categorical("color", {"red", "green", "blue"}));
    db.define_variable(continuous("size", 4, std::make_pair(0.0, 8.0)));
    db.define_dimension({"region", "region", std::nullopt});
    return db;
  }

  std::string base_;
  std::string path_;
};

TEST_F(DatabaseTest, CreateWritesEveryFileAndHoldsTheLock) {
  Database db = Database::create_with_options(path_, true);
  for (const char* name : kRecordFiles) {
    EXPECT_TRUE(fs::is_regular_file(path_ + "/" + name)) << name;
  }
  EXPECT_EQ(fs::file_size(path_ + "/lock.edb"), 0u);
  EXPECT_EQ(fs::file_size(path_ + "/raw/log_000001.raw"), 0u);
  EXPECT_TRUE(db.writable());
  EXPECT_TRUE(db.has_raw_log());
  EXPECT_EQ(db.stats(), DatabaseStats{});
  EXPECT_EQ(db.meta(), (MetaFile{{}, 1, 1, 1, 3, true, 0}));
  EXPECT_EQ(error_of([&] { Database::open(path_, true); }),
            "acquire exclusive lock: database directory " + path_ +
                " is already open read-write in this process");
}

TEST_F(DatabaseTest, CreateWithoutRawLogMakesNoRawDirectoryAndTakesNoRecordIds) {
  Database db = Database::create_with_options(path_, false);
  EXPECT_FALSE(fs::exists(path_ + "/raw"));
  append_raw_record(db, Value(Object{}));
  const std::vector<Value> payloads(3, Value(Object{}));
  append_raw_records(db, payloads);
  EXPECT_EQ(db.meta().next_raw_record_id, 1u);
}

TEST_F(DatabaseTest, CreateOverAnExistingDatabaseChangesNoFileAndOpensIt) {
  {
    Database db = filled();
    increment_distribution(db, "color", {{"region", "eu"}}, categories({{category(0), 2}}));
    db.flush();
  }
  const auto before = tree_state(path_);
  Database again = Database::create_with_options(path_, false);
  EXPECT_EQ(tree_state(path_), before);
  EXPECT_TRUE(again.has_raw_log());  // the stored flag decides
  EXPECT_EQ(again.stats().distributions, 1u);
  EXPECT_EQ(again.schema().variables.size(), 2u);
}

TEST_F(DatabaseTest, OpenOfAMissingPathFailsAndCreatesNothing) {
  for (bool read_write : {true, false}) {
    EXPECT_EQ(error_of([&] { Database::open(path_, read_write); }),
              "database path does not exist: " + path_);
    EXPECT_FALSE(fs::exists(path_));
  }
}

TEST_F(DatabaseTest, APathWithANulByteTouchesNoFile) {
  const std::string bad = path_ + std::string("\0zzz", 4);
  EXPECT_EQ(error_of([&] { Database::create_with_options(bad, true); }),
            "create db dir " + bad + ": file name contained an unexpected NUL byte");
  EXPECT_FALSE(fs::exists(path_));
  Database::create_with_options(path_, true);
  EXPECT_EQ(error_of([&] { Database::open(bad, false); }), "database path does not exist: " + bad);
}

TEST_F(DatabaseTest, ReadOnlyFlushWritesNothing) {
  { Database db = filled(); db.flush(); }
  const auto before = tree_state(path_);
  Database db = Database::open(path_, false);
  EXPECT_FALSE(db.writable());
  db.ensure_distribution("color", {});
  db.flush();
  EXPECT_EQ(tree_state(path_), before);
}

TEST_F(DatabaseTest, ReadOnlyRefusesEveryChangeThatReachesTheFiles) {
  { Database db = filled(); db.flush(); }
  Database db = Database::open(path_, false);
  const std::vector<Value> payloads(2, Value(Object{}));
  const std::vector<std::pair<std::string, std::function<void()>>> changes = {
      {"define_variable", [&] { db.define_variable(categorical("shape", {"round"})); }},
      {"define_dimension", [&] { db.define_dimension({"year", "year", std::nullopt}); }},
      {"increment_distribution",
       [&] { increment_distribution(db, "color", {}, categories({{category(0), 1}})); }},
      {"increment of an unknown variable",
       [&] { increment_distribution(db, "nope", {}, categories({{category(0), 1}})); }},
      {"append_raw_record", [&] { append_raw_record(db, Value(Object{})); }},
      {"append_raw_records", [&] { append_raw_records(db, payloads); }},
  };
  for (const auto& [name, change] : changes) {
    EXPECT_EQ(error_of(change), "database opened in read-only mode") << name;
  }
  EXPECT_EQ(db.schema().variables.size(), 2u);
  EXPECT_EQ(db.schema().dimensions.size(), 1u);
  EXPECT_TRUE(db.distributions().empty());
  EXPECT_EQ(db.meta().next_raw_record_id, 1u);
  EXPECT_EQ(fs::file_size(path_ + "/raw/log_000001.raw"), 0u);
}

TEST_F(DatabaseTest, DefinitionRefusalsCarryTheSchemaMessage) {
  Database db = filled();
  EXPECT_EQ(error_of([&] { db.define_variable(categorical("color", {"x"})); }),
            "schema validation error: variable 'color' already exists");
  EXPECT_EQ(db.schema().variables.size(), 2u);
}

TEST_F(DatabaseTest, IncrementOfAnUnknownVariableCreatesNothing) {
  Database db = filled();
  EXPECT_EQ(error_of([&] { increment_distribution(db, "nope", {}, bins({{0, 1}})); }),
            "unknown variable 'nope'");
  EXPECT_TRUE(db.distributions().empty());
  EXPECT_TRUE(db.index().by_key.empty());
  EXPECT_EQ(db.meta().next_distribution_id, 1u);
}

TEST_F(DatabaseTest, CountsOutsideTheCellsStillRaiseTheTotal) {
  Database db = filled();
  increment_distribution(db, "color", {},
                            categories({{category(0), 2}, {category(7), 5}, {kUnknown, 3}}));
  increment_distribution(db, "size", {}, bins({{1, 4}, {99, 6}}));
  const auto* color = db.find_distribution("color", {})->repr.get_if<core::ReprCategorical>();
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(color->counts, (std::vector<std::uint64_t>{2, 0, 0}));
  EXPECT_EQ(color->unknown_count, 3u);
  EXPECT_EQ(color->total_count, 10u);
  const auto* size = db.find_distribution("size", {})->repr.get_if<core::ReprHistogram>();
  ASSERT_NE(size, nullptr);
  EXPECT_EQ(size->bin_counts, (std::vector<std::uint64_t>{0, 4, 0, 0}));
  EXPECT_EQ(size->total_count, 10u);
  // Increments leave the finalised fields alone.
  EXPECT_EQ(db.find_distribution("color", {})->sample_count, 0u);
  EXPECT_EQ(db.find_distribution("color", {})->version, 1u);
}

TEST_F(DatabaseTest, ADeltaOfTheOtherFormChangesNothing) {
  Database db = filled();
  EXPECT_NO_THROW(increment_distribution(db, "color", {}, bins({{0, 5}})));
  EXPECT_NO_THROW(increment_distribution(db, "size", {}, categories({{category(0), 5}})));
  EXPECT_EQ(db.find_distribution("color", {})->repr,
            core::DistributionRepr::from_variable(db.schema().variables[0].var_type));
  EXPECT_EQ(db.find_distribution("size", {})->repr.total_count(), 0u);
}

TEST_F(DatabaseTest, DistributionsAndJointsCountIdsSeparately) {
  Database db = filled();
  EXPECT_EQ(db.ensure_distribution("color", {{"region", "eu"}}), 1u);
  EXPECT_EQ(db.ensure_distribution("size", {{"region", "eu"}}), 2u);
  EXPECT_EQ(db.ensure_distribution("color", {{"region", "eu"}}), 1u);
  db.ensure_joint_distribution("size", "color", {});
  EXPECT_EQ(db.joints().at(0).id, 1u);
  EXPECT_EQ(db.meta().next_distribution_id, 3u);
  EXPECT_EQ(db.meta().next_joint_id, 2u);
  EXPECT_EQ(distribution_by_id(db, 2)->variable, "size");
  EXPECT_EQ(distribution_by_id(db, 3), nullptr);
}

TEST_F(DatabaseTest, JointsAreFoundWithTheNamesInEitherOrder) {
  Database db = filled();
  db.ensure_joint_distribution("size", "color", {{"region", "eu"}});
  db.ensure_joint_distribution("color", "size", {{"region", "eu"}});
  ASSERT_EQ(db.joints().size(), 1u);
  const auto& joint = db.joints()[0];
  EXPECT_EQ(joint.variables, (std::pair<std::string, std::string>{"color", "size"}));
  const auto* table = joint.repr.get_if<core::JointConditionalHistograms>();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->condition_categories, (std::vector<std::string>{"red", "green", "blue"}));
  EXPECT_EQ(db.get_joint_distribution("size", "color", {{"region", "eu"}}), &joint);
  EXPECT_EQ(db.get_joint_distribution("color", "size", {{"region", "eu"}}), &joint);
  EXPECT_EQ(db.get_joint_distribution("color", "size", {}), nullptr);

  db.ensure_joint_distribution("color", "size", {{"region", "us"}});
  ASSERT_EQ(db.joints().size(), 2u);
  EXPECT_EQ(db.joints()[1].id, 2u);
  db.get_joint_distribution_mut("size", "color", {{"region", "us"}})->add_to_cell(2, 3, 4);
  EXPECT_EQ(db.get_joint_distribution("color", "size", {{"region", "us"}})->sample_count, 4u);

  EXPECT_EQ(error_of([&] { db.ensure_joint_distribution("color", "nope", {}); }),
            "joint variables not found in schema");
  EXPECT_EQ(db.meta().next_joint_id, 3u);
}

TEST_F(DatabaseTest, FinalizeBringsTouchedDistributionsUpToDate) {
  Database db = filled();
  increment_distribution(db, "color", {}, categories({{category(0), 5}, {category(1), 5}}));
  const std::vector<std::pair<std::string, DimensionKey>> touched = {
      {"color", {}}, {"size", {{"region", "nowhere"}}}};
  const std::uint64_t before = core::unix_now();
  finalize_distributions(db, touched);
  const auto& color = *db.find_distribution("color", {});
  EXPECT_EQ(color.version, 2u);
  EXPECT_EQ(color.sample_count, 10u);
  EXPECT_DOUBLE_EQ(color.entropy, 1.0);
  EXPECT_GE(color.last_updated, before);
  EXPECT_EQ(db.distributions().size(), 1u);  // the missing pair was skipped, not created
  finalize_distributions(db, {});
  EXPECT_EQ(db.find_distribution("color", {})->version, 2u);
}

TEST_F(DatabaseTest, DimensionValuesAreDistinctAndInByteOrder) {
  Database db = filled();
  db.define_dimension({"year", "year", std::nullopt});
  for (const char* region : {"9", "10", "a", "Z", "10"}) {
    db.ensure_distribution("color", {{"region", region}});
  }
  db.ensure_distribution("color", {{"year", "2024"}});
  db.ensure_joint_distribution("color", "size", {{"region", "joint-only"}});
  const std::set<std::string> values = db.dimension_values("region");
  EXPECT_EQ(std::vector<std::string>(values.begin(), values.end()),
            (std::vector<std::string>{"10", "9", "Z", "a"}));
  EXPECT_TRUE(db.dimension_values("unknown").empty());
}

TEST_F(DatabaseTest, DimensionValuesKeptAsKeysArriveEqualThoseReadAtOpen) {
  Database db = filled();
  db.define_dimension({"year", "year", std::nullopt});
  for (const char* region : {"9", "10", "a", "Z", "10"}) {
    db.ensure_distribution("color", {{"region", region}, {"year", "2024"}});
  }
  db.ensure_distribution("size", {{"year", "2023"}});
  const std::set<std::string> regions = db.dimension_values("region");
  const std::set<std::string> years = db.dimension_values("year");
  EXPECT_EQ(years, (std::set<std::string>{"2023", "2024"}));
  db.flush();
  const Database reopened = Database::open(path_, false);
  EXPECT_EQ(reopened.dimension_values("region"), regions);
  EXPECT_EQ(reopened.dimension_values("year"), years);
}

TEST_F(DatabaseTest, ReferenceLookupTakesTheFirstDistributionHoldingEveryPair) {
  Database db = filled();
  db.define_dimension({"year", "year", std::nullopt});
  db.ensure_distribution("size", {{"region", "eu"}});
  db.ensure_distribution("color", {{"region", "us"}, {"year", "2024"}});
  db.ensure_distribution("color", {{"region", "eu"}, {"year", "2024"}});
  db.ensure_distribution("color", {{"region", "eu"}, {"year", "2025"}});
  EXPECT_EQ(find_distribution_by_reference(db, "color", {})->id, 2u);
  EXPECT_EQ(find_distribution_by_reference(db, "color", {{"region", "eu"}})->id, 3u);
  EXPECT_EQ(find_distribution_by_reference(db, "color", {{"year", "2025"}})->id, 4u);
  EXPECT_EQ(find_distribution_by_reference(db, "color", {{"region", "asia"}}), nullptr);
  EXPECT_EQ(find_distribution_by_reference(db, "shape", {}), nullptr);
}

// Whatever changes a variable's distributions gives it a generation never handed out before and
// leaves the other variable's as it was; nothing else moves either.
TEST_F(DatabaseTest, EveryChangeToAVariableGivesItAFreshGenerationAndNoOther) {
  Database db = filled();
  const std::size_t eu = db.ensure_distribution_position("color", {{"region", "eu"}});
  db.ensure_distribution("size", {{"region", "eu"}});
  const auto one_color = categories({{category(0), 1}});
  // Every generation seen so far, including those in the middle of a step that is taken back.
  std::set<std::uint64_t> seen;
  auto note = [&] { seen.insert({db.generation("color"), db.generation("size")}); };
  struct Step {
    const char* name;
    const char* changed;  // null: neither variable
    std::function<void()> apply;
  };
  const std::vector<Step> steps = {
      {"create", "color", [&] { db.ensure_distribution("color", {{"region", "us"}}); }},
      {"find existing", nullptr, [&] { db.ensure_distribution("color", {{"region", "us"}}); }},
      {"counts", "color", [&] { db.distribution_at(eu).repr.total_count(); }},
      {"finalize", "color", [&] { db.finalize_distribution_at(eu, 5, 1); }},
      {"create other", "size", [&] { db.ensure_distribution("size", {{"region", "us"}}); }},
      {"rollback",
       "color",
       [&] {
         const Database::Mark mark = db.mark();
         db.ensure_distribution("color", {{"region", "asia"}});
         note();
         db.rollback(mark);
       }},
      {"empty rollback", nullptr, [&] { db.rollback(db.mark()); }},
      {"undo",
       "color",
       [&] {
         Database::Change change(db);
         increment_distribution(db, "color", {{"region", "eu"}}, one_color);
         note();
       }},
      {"kept change of other", "size",
       [&] {
         Database::Change change(db);
         db.finalize_distribution_at(db.positions_of_variable("size")[0], 6, 1);
         change.keep();
       }},
      {"joint", nullptr, [&] { db.ensure_joint_distribution("color", "size", {}); }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const std::uint64_t color = db.generation("color");
    const std::uint64_t size = db.generation("size");
    note();
    step.apply();
    for (const auto& [name, before] : {std::pair{"color", color}, std::pair{"size", size}}) {
      if (step.changed != nullptr && std::string_view(step.changed) == name) {
        EXPECT_FALSE(seen.contains(db.generation(name))) << name;
      } else {
        EXPECT_EQ(db.generation(name), before) << name;
      }
    }
  }
  EXPECT_EQ(db.generation("shape"), 0u);
  db.flush();
  const Database first = Database::open(path_, false);
  const Database second = Database::open(path_, false);
  EXPECT_NE(first.instance(), db.instance());
  EXPECT_NE(first.instance(), second.instance());
}

// The positions of each (variable, dimension, value), checked against a walk of every
// distribution, as keys arrive, after a rollback and an undo, and as read back at open.
TEST_F(DatabaseTest, PositionsPerPairListExactlyTheHoldersInStorageOrder) {
  Database db = filled();
  db.define_dimension({"year", "year", std::nullopt});
  auto check = [](const Database& db, const char* when) {
    SCOPED_TRACE(when);
    std::map<std::tuple<std::string, std::string, std::string>, std::vector<std::size_t>> walked;
    for (std::size_t i = 0; i < db.distributions().size(); ++i) {
      const auto& distribution = db.distributions()[i];
      for (const auto& [dimension, value] : distribution.dimension_key) {
        walked[{distribution.variable, std::string(dimension), std::string(value)}].push_back(i);
      }
    }
    for (const auto& [pair, positions] : walked) {
      const auto& [variable, dimension, value] = pair;
      const auto filed = db.positions_with_pair(variable, dimension, value);
      EXPECT_EQ(std::vector<std::size_t>(filed.begin(), filed.end()), positions)
          << variable << " " << dimension << ":" << value;
    }
    EXPECT_TRUE(db.positions_with_pair("color", "region", "mars").empty());
    EXPECT_TRUE(db.positions_with_pair("color", "planet", "eu").empty());
    EXPECT_TRUE(db.positions_with_pair("shape", "region", "eu").empty());
  };
  for (const char* region : {"eu", "us", "eu", "asia"}) {
    for (const char* year : {"2024", "2025"}) {
      db.ensure_distribution("color", {{"region", region}, {"year", year}});
      db.ensure_distribution("size", {{"year", year}});
    }
  }
  db.ensure_distribution("color", {});
  check(db, "created");
  const Database::Mark mark = db.mark();
  db.ensure_distribution("color", {{"region", "mars"}});
  db.ensure_distribution("color", {{"region", "eu"}, {"year", "2030"}});
  db.rollback(mark);
  check(db, "rolled back");
  {
    Database::Change change(db);
    db.ensure_distribution("size", {{"region", "eu"}, {"year", "2031"}});
  }
  check(db, "undone");
  EXPECT_TRUE(db.positions_with_pair("size", "year", "2031").empty());
  db.flush();
  check(Database::open(path_, false), "reopened");
}

TEST_F(DatabaseTest, StatsCountDistributionsSamplesAndDefinitions) {
  Database db = filled();
  increment_distribution(db, "color", {{"region", "eu"}}, categories({{category(0), 3}}));
  increment_distribution(db, "size", {{"region", "eu"}}, bins({{0, 4}}));
  db.ensure_joint_distribution("color", "size", {});
  const std::vector<std::pair<std::string, DimensionKey>> touched = {
      {"color", {{"region", "eu"}}}, {"size", {{"region", "eu"}}}};
  finalize_distributions(db, touched);
  EXPECT_EQ(db.stats(), (DatabaseStats{2, 7, 2, 1}));
}

TEST_F(DatabaseTest, RawRecordsTakeConsecutiveIds) {
  Database db = filled();
  Object row;
  row.emplace("a", Value("x"));
  append_raw_record(db, Value(row));
  std::vector<Value> payloads(2, Value(Object{}));
  append_raw_records(db, payloads);
  EXPECT_EQ(db.meta().next_raw_record_id, 4u);
  EXPECT_EQ(content_of(path_ + "/raw/log_000001.raw"),
            "{\"payload\":{\"a\":\"x\"},\"record_id\":1}\n"
            "{\"payload\":{},\"record_id\":2}\n"
            "{\"payload\":{},\"record_id\":3}\n");
}

TEST_F(DatabaseTest, AFailedRawAppendStillTakesItsId) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  Database db = filled();
  const std::string segment = path_ + "/raw/log_000001.raw";
  fs::remove(segment);
  fs::create_symlink("/dev/full", segment);
  EXPECT_EQ(error_of([&] { append_raw_record(db, Value(Object{})); }),
            "append raw line: No space left on device (os error 28)");
  EXPECT_EQ(db.meta().next_raw_record_id, 2u);
  std::vector<Value> payloads(5, Value(Object{}));
  EXPECT_THROW(append_raw_records(db, payloads), Error);
  EXPECT_EQ(db.meta().next_raw_record_id, 3u);  // only the failing first line took an id
}

TEST_F(DatabaseTest, ADeletedLockFileIsCreatedAgainAndLeftEmpty) {
  { Database db = filled(); }
  fs::remove(path_ + "/lock.edb");
  { Database db = Database::open(path_, true); }
  ASSERT_TRUE(fs::exists(path_ + "/lock.edb"));
  EXPECT_EQ(fs::file_size(path_ + "/lock.edb"), 0u);
}

TEST_F(DatabaseTest, ReadOnlyOpensBesideAReadWriteOneAndTheLockIsFreedOnDrop) {
  std::optional<Database> writer(filled());
  EXPECT_NO_THROW(Database::open(path_, false));
  EXPECT_THROW(Database::open(path_, true), Error);
  writer.reset();
  EXPECT_NO_THROW(Database::open(path_, true));
}

// Builds a database with something in every part, flushed.
void fill_every_part(Database& db) {
  db.define_variable(categorical("b", {"x", "y"}));
  db.define_variable(continuous("a", 3));
  db.define_variable(categorical("c", {"p", "q", "r"}));
  db.define_dimension({"region", "region_col", std::string("month")});
  for (const char* region : {"eu", "us"}) {
    const DimensionKey key{{"region", region}};
    increment_distribution(db, "b", key, categories({{category(1), 3}, {kUnknown, 1}}));
    increment_distribution(db, "a", key, bins({{2, 5}}));
    db.ensure_joint_distribution("b", "a", key);
    db.ensure_joint_distribution("b", "c", key);
    db.ensure_joint_distribution("a", "a", key);
    db.get_joint_distribution_mut("a", "b", key)->add_to_cell(1, 2, 7);
    const std::vector<std::pair<std::string, DimensionKey>> touched = {{"b", key}, {"a", key}};
    finalize_distributions(db, touched);
  }
  db.flush();
}

TEST_F(DatabaseTest, AFlushedDatabaseOpensAgainWithEqualRecords) {
  Database db = Database::create_with_options(path_, true);
  fill_every_part(db);
  // Snapshot entries are never made by the engine but must survive a round trip.
  SnapshotStore snapshots;
  snapshots.entries["b|region:eu"].push_back({4, 5, db.distributions()[0]});
  file_format::write_file(path_ + "/snapshots.edb", snapshots);
  const MetaFile meta = db.meta();
  const DistributionFile dist_file = db.dist_file();
  const DistIndex index = db.index();
  { Database gone = std::move(db); }

  {
    Database rw = Database::open(path_, true);
    EXPECT_EQ(rw.meta(), meta);
    EXPECT_EQ(rw.dist_file(), dist_file);
    EXPECT_EQ(rw.index(), index);
    EXPECT_EQ(rw.snapshots(), snapshots);
    rw.flush();
  }
  Database ro = Database::open(path_, false);
  EXPECT_EQ(ro.meta(), meta);
  EXPECT_EQ(ro.dist_file(), dist_file);
  EXPECT_EQ(ro.index(), index);
  EXPECT_EQ(ro.snapshots(), snapshots);
}

// Distributions under one key share its copy whatever their variable, and those of one variable
// share its name: as they are created, and again when the file is read back.
TEST_F(DatabaseTest, OneKeyAndOneNameAreHeldOnceHoweverManyDistributionsUseThem) {
  const auto check = [](const Database& db, const char* when) {
    SCOPED_TRACE(when);
    const auto& all = db.distributions();
    ASSERT_EQ(all.size(), 4u);
    for (const auto& a : all) {
      for (const auto& b : all) {
        EXPECT_EQ(a.dimension_key.identity() == b.dimension_key.identity(),
                  a.dimension_key == b.dimension_key);
        EXPECT_EQ(a.variable.shares_with(b.variable), a.variable == b.variable);
      }
    }
    ASSERT_EQ(db.joints().size(), 1u);
    EXPECT_EQ(db.joints()[0].dimension_key.identity(), all[0].dimension_key.identity());
  };
  {
    Database db = filled();
    for (const char* region : {"eu", "us"}) {
      // Each key is built afresh, so only the database can make the copies shared.
      db.ensure_distribution("color", core::dimension_key_from_pairs({{"region", region}}));
      db.ensure_distribution("size", core::dimension_key_from_pairs({{"region", region}}));
    }
    db.ensure_joint_distribution("size", "color", core::dimension_key_from_pairs({{"region", "eu"}}));
    check(db, "created");
    db.flush();
  }
  check(Database::open(path_, true), "read-write");
  check(Database::open(path_, false), "read-only");
}

TEST_F(DatabaseTest, AMissingOrUnreadableIndexIsRebuilt) {
  {
    Database db = Database::create_with_options(path_, true);
    fill_every_part(db);
  }
  const std::string index_path = path_ + "/dist_index.edb";
  const DistIndex stored = file_format::read_file<DistIndex>(index_path);
  fs::remove(index_path);
  {
    Database ro = Database::open(path_, false);
    EXPECT_EQ(ro.index(), stored);
    EXPECT_EQ(ro.find_distribution("a", {{"region", "us"}})->id, 4u);
  }
  EXPECT_FALSE(fs::exists(index_path));  // only a read-write flush brings it back
  { Database rw = Database::open(path_, true); rw.flush(); }
  EXPECT_EQ(file_format::read_file<DistIndex>(index_path), stored);

  write_bytes(index_path, "QUIB\x03\x00\x00\x00garbage");
  EXPECT_EQ(Database::open(path_, false).index(), stored);
}

TEST_F(DatabaseTest, CorruptSnapshotsOpenEmptyButCorruptRecordsFailTheOpen) {
  { Database db = filled(); db.flush(); }
  write_bytes(path_ + "/snapshots.edb", "not a record");
  EXPECT_TRUE(Database::open(path_, false).snapshots().entries.empty());
  fs::remove(path_ + "/snapshots.edb");
  EXPECT_TRUE(Database::open(path_, true).snapshots().entries.empty());

  for (const char* name : {"meta.edb", "distributions.edb"}) {
    const std::string file = path_ + "/" + name;
    const std::string saved = content_of(file);
    write_bytes(file, "not a record");
    for (bool read_write : {true, false}) {
      try {
        Database::open(path_, read_write);
        ADD_FAILURE() << name << " corrupt, yet the open succeeded";
      } catch (const Error& error) {
        EXPECT_STREQ(error.what(), ("parse " + file + " (tried binary and JSON)").c_str());
      }
    }
    write_bytes(file, saved);
  }
  // A failed read-write open released its lock.
  EXPECT_NO_THROW(Database::open(path_, true));
}

TEST_F(DatabaseTest, AFileWhoseDistributionIdsRepeatIsRefusedInBothModes) {
  {
    Database db = filled();
    increment_distribution(db, "color", {{"region", "n"}}, categories({{category(0), 1}}));
    increment_distribution(db, "color", {{"region", "s"}}, categories({{category(1), 1}}));
    db.flush();
  }
  const std::string file = path_ + "/distributions.edb";
  auto stored = file_format::read_file<DistributionFile>(file);
  ASSERT_GE(stored.distributions.size(), 2u);
  for (auto& distribution : stored.distributions) distribution.id = 7;
  file_format::write_file(file, stored);
  for (bool read_write : {true, false}) {
    try {
      Database::open(path_, read_write);
      ADD_FAILURE() << "repeated ids, yet the open succeeded";
    } catch (const Error& error) {
      EXPECT_STREQ(error.what(), ("distribution id 7 appears more than once in " + file).c_str());
    }
  }
  stored.distributions.back().id = 8;  // the failed opens released the lock
  file_format::write_file(file, stored);
  EXPECT_NO_THROW(Database::open(path_, true));
}

// The identity of each record file: a flush replaces a file by renaming a new one over it, so an
// unchanged inode and modification time mean the file was not written.
std::vector<std::pair<ino_t, std::int64_t>> file_identities(const std::string& dir) {
  std::vector<std::pair<ino_t, std::int64_t>> identities;
  for (const char* name : kRecordFiles) {
    struct stat st {};
    if (::stat((dir + "/" + name).c_str(), &st) != 0) {
      identities.emplace_back(0, -1);
      continue;
    }
    identities.emplace_back(st.st_ino,
                            std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec);
  }
  return identities;
}

TEST_F(DatabaseTest, AFlushWritesOnlyWhenSomethingChanged) {
  {
    Database db = filled();
    increment_distribution(db, "color", {{"region", "eu"}}, categories({{category(0), 1}}));
    db.ensure_joint_distribution("color", "size", {});
    db.flush();
  }
  const DimensionKey eu{{"region", "eu"}};
  struct Case {
    const char* name;
    std::function<void(Database&)> act;
    bool writes;
  };
  const std::vector<Case> cases = {
      {"nothing", [](Database&) {}, false},
      {"a change undone", [&](Database& db) {
         db.begin_change();
         increment_distribution(db, "color", eu, categories({{category(1), 1}}));
         db.ensure_distribution("size", {{"region", "us"}});
         db.define_dimension({"shop", "shop", std::nullopt});
         db.undo_change();
       }, false},
      {"a variable defined", [](Database& db) { db.define_variable(categorical("v", {"x"})); },
       true},
      {"a dimension defined",
       [](Database& db) { db.define_dimension({"shop", "shop", std::nullopt}); }, true},
      {"a distribution created",
       [](Database& db) { db.ensure_distribution("size", {{"region", "us"}}); }, true},
      {"counts added",
       [&](Database& db) { increment_distribution(db, "color", eu, categories({{category(1), 1}})); },
       true},
      {"a joint created", [](Database& db) { db.ensure_joint_distribution("color", "size", {{"region", "us"}}); },
       true},
      {"a joint counted", [](Database& db) { db.get_joint_distribution_mut("size", "color", {}); },
       true},
      {"a raw record", [](Database& db) { append_raw_record(db, Value(Object{})); }, true},
      {"a raw record in a change undone", [](Database& db) {
         db.begin_change();
         append_raw_record(db, Value(Object{}));
         db.undo_change();
       }, true},
  };
  for (const Case& c : cases) {
    Database db = Database::open(path_, true);
    const auto before = file_identities(path_);
    c.act(db);
    db.flush();
    EXPECT_EQ(file_identities(path_) != before, c.writes) << c.name;
    const auto after = file_identities(path_);
    db.flush();  // and once written, nothing is left to write
    EXPECT_EQ(file_identities(path_), after) << c.name;
  }
  // A change flushed, then undone: the files hold what memory no longer does.
  {
    Database db = Database::open(path_, true);
    db.begin_change();
    increment_distribution(db, "color", eu, categories({{category(1), 1}}));
    db.flush();
    db.undo_change();
    const auto flushed = file_identities(path_);
    db.flush();
    EXPECT_NE(file_identities(path_), flushed) << "the undone counts stayed on disk";
  }
  // A file missing at the open is written back by the next flush, whatever else changed.
  fs::remove(path_ + "/snapshots.edb");
  { Database db = Database::open(path_, true); db.flush(); }
  EXPECT_TRUE(fs::exists(path_ + "/snapshots.edb"));
}

// A counter names the next id to hand out, so its last value is never handed out.
TEST_F(DatabaseTest, AnExhaustedIdCounterRefusesCreationAndChangesNothing) {
  constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    bool joint;
    std::uint64_t counter;
    bool refused;
  };
  for (const Case c : {Case{false, kLast - 1, false}, Case{false, kLast, true},
                       Case{true, kLast - 1, false}, Case{true, kLast, true}}) {
    fs::remove_all(base_);
    { Database db = filled(); db.flush(); }
    MetaFile meta = file_format::read_file<MetaFile>(path_ + "/meta.edb");
    (c.joint ? meta.next_joint_id : meta.next_distribution_id) = c.counter;
    file_format::write_file(path_ + "/meta.edb", meta);
    const std::string label = std::string(c.joint ? "joint " : "distribution ") +
                              std::to_string(c.counter);
    {
      Database db = Database::open(path_, true);
      const auto before = file_identities(path_);
      const auto create = [&](const DimensionKey& key) {
        if (c.joint) {
          db.ensure_joint_distribution("color", "size", key);
        } else {
          db.ensure_distribution("color", key);
        }
      };
      const std::string error = error_of([&] { create({}); });
      const auto counter = c.joint ? db.meta().next_joint_id : db.meta().next_distribution_id;
      const std::size_t created = c.joint ? db.joints().size() : db.distributions().size();
      if (c.refused) {
        EXPECT_EQ(error, c.joint ? "joint distribution ids exhausted: next_joint_id is "
                                   "18446744073709551615"
                                 : "distribution ids exhausted: next_distribution_id is "
                                   "18446744073709551615")
            << label;
        EXPECT_EQ(created, 0u) << label;
        EXPECT_EQ(counter, kLast) << label;
        db.flush();
        EXPECT_EQ(file_identities(path_), before) << label << ": a refusal changed nothing";
      } else {
        EXPECT_EQ(error, "<no error>") << label;
        EXPECT_EQ(created, 1u) << label;
        EXPECT_EQ(c.joint ? db.joints()[0].id : db.distributions()[0].id, kLast - 1) << label;
        EXPECT_EQ(counter, kLast) << label;
        EXPECT_THROW(create({{"region", "us"}}), Error) << label;  // the last one went
        db.flush();
      }
    }
    EXPECT_NO_THROW(Database::open(path_, true)) << label;
  }
}

// A rename that fails after the first file was replaced: the files replaced before it get their
// old content back before the error is raised, and no temporary stays behind.
TEST_F(DatabaseTest, AFlushThatFailsHalfWayPutsTheOldFilesBack) {
  { Database db = filled(); db.flush(); }
  // A directory where the snapshots go: every rename before it succeeds, its own fails.
  fs::remove(path_ + "/snapshots.edb");
  fs::create_directories(path_ + "/snapshots.edb/in_the_way");
  Database db = Database::open(path_, true);
  std::map<std::string, std::string> before;
  for (const char* name : kRecordFiles) {
    if (fs::is_regular_file(path_ + "/" + name)) before[name] = content_of(path_ + "/" + name);
  }
  ASSERT_EQ(before.size(), 3u);
  increment_distribution(db, "color", {{"region", "eu"}}, categories({{category(0), 5}}));
  const std::string error = error_of([&] { db.flush(); });
  EXPECT_NE(error.find("write file " + path_ + "/snapshots.edb: "), std::string::npos) << error;
  EXPECT_EQ(error.find("put back"), std::string::npos) << error;
  for (const auto& [name, content] : before) {
    EXPECT_EQ(content_of(path_ + "/" + name), content) << name << " was left replaced";
  }
  for (const auto& entry : fs::directory_iterator(path_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
  // Once the way is clear, the same flush goes through.
  fs::remove_all(path_ + "/snapshots.edb");
  db.flush();
  EXPECT_EQ(Database::open(path_, false).distributions().at(0).repr.total_count(), 5u);
}

class OlderContainerTest : public DatabaseTest,
                           public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(OlderContainerTest, HandWrittenFilesOfEveryReadableFormOpen) {
  fs::create_directories(path_);
  MetaFile meta;
  meta.schema.variables.push_back(categorical("x", {"a", "b"}));
  meta.next_distribution_id = 2;
  meta.raw_log_enabled = false;
  std::string container("QUIB");
  for (int i = 0; i < 4; ++i) container += static_cast<char>((GetParam() >> (8 * i)) & 0xff);
  const auto encoded = codec::encode(meta);
  container.append(encoded.begin(), encoded.end());
  write_bytes(path_ + "/meta.edb", container);
  // The distributions in their JSON form; no index and no snapshots at all.
  write_bytes(path_ + "/distributions.edb", R"({"distributions":[{"id":1,"variable":"x",
    "dimension_key":{"r":"eu"},"repr":{"Categorical":{"categories":["a","b"],"counts":[3,1],
    "unknown_count":0,"total_count":4}},"sample_count":4,"entropy":0.5,"last_updated":5,
    "version":2,"raw_record_range":[0,0]}],"joints":[]})");

  for (bool read_write : {false, true}) {
    Database db = Database::open(path_, read_write);
    EXPECT_EQ(db.meta(), meta);
    ASSERT_EQ(db.distributions().size(), 1u);
    const auto* found = db.find_distribution("x", {{"r", "eu"}});
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->repr.get_if<core::ReprCategorical>()->counts,
              (std::vector<std::uint64_t>{3, 1}));
    EXPECT_EQ(found->version, 2u);
    EXPECT_TRUE(db.snapshots().entries.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, OlderContainerTest, ::testing::Values(0u, 1u, 2u));

// Two keys that share the canonical text "a:b/c:d": each keeps its own counts.
TEST_F(DatabaseTest, KeysSharingAnIndexTextKeepTheirOwnCounts) {
  const DimensionKey one_entry{{"a", "b/c:d"}};
  const DimensionKey two_entries{{"a", "b"}, {"c", "d"}};
  {
    Database db = Database::create_with_options(path_, false);
    db.define_variable(categorical("v", {"x", "y"}));
    increment_distribution(db, "v", one_entry, categories({{category(0), 1}}));
    increment_distribution(db, "v", two_entries, categories({{category(1), 10}}));
    increment_distribution(db, "v", one_entry, categories({{category(0), 2}}));
    ASSERT_EQ(db.distributions().size(), 2u);
    EXPECT_EQ(db.index().by_key.size(), 1u);  // the stored index keeps one entry per text
    EXPECT_EQ(db.find_distribution("v", one_entry)->repr.total_count(), 3u);
    EXPECT_EQ(db.find_distribution("v", two_entries)->repr.total_count(), 10u);
    const std::vector<std::pair<std::string, DimensionKey>> touched = {{"v", one_entry},
                                                                       {"v", two_entries}};
    finalize_distributions(db, touched);
    db.flush();
  }
  for (bool drop_index : {false, true}) {
    if (drop_index) fs::remove(path_ + "/dist_index.edb");
    Database db = Database::open(path_, true);
    increment_distribution(db, "v", two_entries, categories({{category(1), 1}}));
    increment_distribution(db, "v", one_entry, categories({{category(0), 1}}));
    ASSERT_EQ(db.distributions().size(), 2u);
    for (const auto& distribution : db.distributions()) {
      const auto& counts = distribution.repr.get_if<core::ReprCategorical>()->counts;
      if (distribution.dimension_key == one_entry) {
        EXPECT_EQ(counts, (std::vector<std::uint64_t>{4, 0}));
      } else {
        EXPECT_EQ(distribution.dimension_key, two_entries);
        EXPECT_EQ(counts, (std::vector<std::uint64_t>{0, 11}));
      }
    }
    EXPECT_EQ(db.find_distribution("v", one_entry)->sample_count, 3u);
  }
}

// A child process that opens the database and flushes changed counts over and over until it is
// killed. Never returns.
[[noreturn]] void flush_forever(const std::string& path, std::uint64_t seed) {
  try {
    Database db = Database::open(path, true);
    std::mt19937_64 random(seed);
    for (std::uint64_t round = 0;; ++round) {
      for (int k = 0; k < 40; ++k) {
        const DimensionKey key{{"k", std::to_string((round * 7 + k) % 300)}};
        increment_distribution(db, "size", key, bins({{random() % 64, 1 + random() % 5}}));
      }
      db.flush();
    }
  } catch (...) {
    _exit(3);
  }
}

// Each file read whole. `files_agree` also checks across files, which holds after a crash (meta is
// written first) but not for a reader racing a flush, which may read old meta and new counts.
void expect_whole(const Database& db, bool files_agree) {
  std::uint64_t max_id = 0;
  for (const auto& distribution : db.distributions()) {
    const auto& histogram = *distribution.repr.get_if<core::ReprHistogram>();
    std::uint64_t sum = 0;
    for (std::uint64_t count : histogram.bin_counts) sum += count;
    EXPECT_EQ(sum, histogram.total_count);
    EXPECT_EQ(histogram.bin_counts.size(), 64u);
    max_id = std::max(max_id, distribution.id);
  }
  if (files_agree) {
    EXPECT_GT(db.meta().next_distribution_id, max_id);
  }
}

TEST_F(DatabaseTest, AKilledFlushLeavesTheOldOrTheNewFiles) {
  {
    Database db = Database::create_with_options(path_, false);
    db.define_variable(continuous("size", 64, std::make_pair(0.0, 64.0)));
    db.flush();
  }
  std::mt19937 random(20240611);
  std::uint64_t last_total = 0;
  // Kill moments spread over a window that widens while no flush gets through, so that slow
  // disks still see kills both inside and between flushes.
  std::uint32_t window_us = 40000;
  for (int attempt = 0; attempt < 40; ++attempt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) flush_forever(path_, attempt);
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % window_us));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the flushing child stopped by itself";

    std::optional<Database> opened;
    try {
      opened.emplace(Database::open(path_, true));  // the dead child's lock is gone
    } catch (const Error& error) {
      FAIL() << "the database did not open after a killed flush: " << error.full();
    }
    const Database& db = *opened;
    expect_whole(db, true);
    for (const auto& entry : fs::directory_iterator(path_)) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
          << "a read-write open left the killed flush's temporary " << entry.path();
    }
    std::uint64_t total = 0;
    for (const auto& distribution : db.distributions()) total += distribution.repr.total_count();
    EXPECT_GE(total, last_total) << "a flush lost counts that an earlier one had written";
    if (total == last_total && window_us < 2000000) window_us += window_us / 2;
    last_total = total;
    // The two files whose failures the open forgives must be whole as well.
    EXPECT_NO_THROW(file_format::read_file<DistIndex>(path_ + "/dist_index.edb"));
    EXPECT_NO_THROW(file_format::read_file<SnapshotStore>(path_ + "/snapshots.edb"));
  }
  EXPECT_GT(last_total, 0u) << "no flush completed in any attempt";
}

TEST_F(DatabaseTest, ReadOnlyOpensDuringFlushesAlwaysReadWholeFiles) {
  {
    Database db = Database::create_with_options(path_, false);
    db.define_variable(continuous("size", 64, std::make_pair(0.0, 64.0)));
    db.flush();
  }
  Database early = Database::open(path_, false);
  const DistributionFile early_content = early.dist_file();

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) flush_forever(path_, 99);
  const auto start = std::chrono::steady_clock::now();
  bool saw_counts = false;
  int opens = 0;
  // At least 1.5 s, and on a slow disk until a flush has been seen, for at most 20 s.
  for (auto now = start; now - start < std::chrono::milliseconds(1500) ||
                         (!saw_counts && now - start < std::chrono::seconds(20));
       now = std::chrono::steady_clock::now()) {
    try {
      Database reader = Database::open(path_, false);
      expect_whole(reader, false);
      saw_counts = saw_counts || !reader.distributions().empty();
    } catch (const Error& error) {
      ADD_FAILURE() << "read-only open during a flush failed: " << error.full();
      break;
    }
    ++opens;
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_GT(opens, 10);
  EXPECT_EQ(early.dist_file(), early_content);
  EXPECT_TRUE(saw_counts);
}

}  // namespace
}  // namespace quib::storage
