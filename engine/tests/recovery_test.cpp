// What an open repairs: the state that a flush cut short by a crash or a full disk leaves, where
// the files replaced first are newer than those replaced after them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "storage/dist_index.h"
#include "storage/dist_store.h"
#include "storage/file_format.h"
#include "store_consistency.h"

namespace quib::storage {
namespace {

namespace fs = std::filesystem;

core::VariableDefinition categorical(std::string name) {
  return {std::move(name), {core::VariableType::Categorical{{"a", "b"}, true}}};
}

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (fs::path(testing::TempDir()) / ("quib_recovery_" + std::to_string(::getpid()))).string();
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A database of two variables and two days, with a joint distribution per day; flushed.
  void build() {
    Database db = Database::create_with_options(dir_, false);
    db.define_variable(categorical("u"));
    db.define_variable(categorical("v"));
    db.define_dimension({"day", "day", std::nullopt});
    for (const char* day : {"1", "2"}) {
      for (const char* variable : {"u", "v"}) db.ensure_distribution_position(variable, {{"day", day}});
      db.ensure_joint_distribution("u", "v", {{"day", day}});
    }
    db.flush();
  }
  std::string file(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// Each damage leaves an index that does not map exactly the stored distributions.
using Damage = std::function<void(DistIndex&)>;

class IndexRepair : public RecoveryTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(IndexRepair, OpenRebuildsAnIndexOutOfStepWithTheDistributions) {
  build();
  DistIndex index = file_format::read_file<DistIndex>(file("dist_index.edb"));
  GetParam()(index);
  file_format::write_file(file("dist_index.edb"), index);

  for (const bool read_write : {false, true}) {
    SCOPED_TRACE(read_write ? "read-write" : "read-only");
    Database db = Database::open(dir_, read_write);
    consistency::expect_lookups_match(db);
    EXPECT_EQ(db.find_distribution("w", {}), nullptr);
  }
  Database db = Database::open(dir_, true);
  for (const char* variable : {"u", "v"}) {
    const std::size_t position = db.ensure_distribution_position(variable, {{"day", "2"}});
    EXPECT_EQ(db.distribution_at(position).variable, variable);
    EXPECT_EQ(db.distribution_at(position).dimension_key, core::DimensionKey({{"day", "2"}}));
  }
  EXPECT_EQ(db.distributions().size(), 4u);
  // The next flush replaces the damaged file with one made from the distributions.
  db.ensure_distribution_position("u", {{"day", "3"}});
  db.flush();
  consistency::expect_lookups_match(db);
  consistency::expect_index_on_disk_matches(dir_);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, IndexRepair,
    ::testing::Values(
        // The index of the flush before: the newest distributions are missing.
        [](DistIndex& index) {
          index.by_key.erase(index_key_text("u", {{"day", "2"}}));
          index.by_key.erase(index_key_text("v", {{"day", "2"}}));
        },
        // An id that no distribution has.
        [](DistIndex& index) { index.by_key[index_key_text("u", {{"day", "2"}})] = 999; },
        // Another key's id.
        [](DistIndex& index) {
          std::swap(index.by_key[index_key_text("u", {{"day", "1"}})],
                    index.by_key[index_key_text("v", {{"day", "2"}})]);
        },
        // A key that no distribution has.
        [](DistIndex& index) { index.by_key[index_key_text("w", {})] = 1; }));

TEST_F(RecoveryTest, ACounterBehindTheStoredIdsRunsPastThem) {
  build();
  MetaFile meta = file_format::read_file<MetaFile>(file("meta.edb"));
  ASSERT_EQ(meta.next_distribution_id, 5u);
  ASSERT_EQ(meta.next_joint_id, 3u);
  meta.next_distribution_id = 2;
  meta.next_joint_id = 1;
  file_format::write_file(file("meta.edb"), meta);

  Database db = Database::open(dir_, true);
  EXPECT_EQ(db.meta().next_distribution_id, 5u);
  EXPECT_EQ(db.meta().next_joint_id, 3u);
  const std::size_t position = db.ensure_distribution_position("u", {{"day", "3"}});
  EXPECT_EQ(db.distribution_at(position).id, 5u);
}

TEST_F(RecoveryTest, ACounterAheadOfTheStoredIdsStaysAhead) {
  build();
  MetaFile meta = file_format::read_file<MetaFile>(file("meta.edb"));
  meta.next_distribution_id = 40;
  file_format::write_file(file("meta.edb"), meta);
  EXPECT_EQ(Database::open(dir_, true).meta().next_distribution_id, 40u);
}

}  // namespace
}  // namespace quib::storage
