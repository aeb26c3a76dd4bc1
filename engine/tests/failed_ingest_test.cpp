// A file ingest that fails in a late batch, after its earlier batches counted into joint
// distributions that existed before the call: the database in memory must come back exactly as
// it was, joints included, and a retry must count every row once.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "ingest/pipeline.h"
#include "file_size_limit.h"
#include "storage/dist_store.h"
#include "storage/file_format.h"
#include "store_consistency.h"

namespace quib::ingest {
namespace {

namespace fs = std::filesystem;


constexpr std::uint64_t kBatch = 40;

// `rows` rows over four shops; every column is a variable of the schema below, so the ingest
// defines nothing and each row counts into all three joints of its shop.
std::string sales_csv(int rows, int offset) {
  static const char* const kColours[] = {"red", "green", "blue"};
  std::string csv = "shop,colour,size,price,weight\n";
  for (int i = offset; i < offset + rows; ++i) {
    csv += "s" + std::to_string(i % 4) + "," + kColours[(i / 3) % 3] + "," +
           (i % 5 < 2 ? "s" : "l") + "," + std::to_string((i * 7) % 100) + ".5," +
           std::to_string((i * 13) % 100) + "\n";
  }
  return csv;
}

// The joints without their update times, which depend on the second the batch ran.
using Joints = std::vector<core::JointDistributionObject>;

Joints untimed(Joints joints) {
  for (auto& joint : joints) joint.last_updated = 0;
  return joints;
}

class FailedIngestWithJoints : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("quib_failed_ingest_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    first_ = write("first.csv", sales_csv(200, 0));
    second_ = write("second.csv", sales_csv(400, 1000));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // A database whose schema holds a joint of each kind (table, conditional histograms, grid),
  // with the first file ingested.
  storage::Database create(const std::string& name) const {
    const std::string root = (dir_ / name).string();
    fs::create_directories(root);
    storage::MetaFile meta;
    meta.raw_log_enabled = true;
    const core::CategoryList colours({"red", "green", "blue"});
    meta.schema.variables = {
        {"colour", {core::VariableType::Categorical{colours, true}}},
        {"size", {core::VariableType::Categorical{core::CategoryList({"s", "l"}), false}}},
        {"price", {core::VariableType::Continuous{4, std::pair{0.0, 100.0}}}},
        {"weight", {core::VariableType::Continuous{3, std::pair{0.0, 100.0}}}}};
    meta.schema.dimensions = {{"shop", "shop", std::nullopt}};
    meta.schema.joints = {{"size", "colour"}, {"colour", "price"}, {"price", "weight"}};
    storage::file_format::write_file(root + "/meta.edb", meta);
    storage::Database db = storage::Database::create_with_options(root, true);
    IngestionPipeline::ingest_file_auto(db, first_, InferConfig{}, kBatch, false);
    return db;
  }

  std::uintmax_t log_size(const storage::Database& db) const {
    return fs::file_size(fs::path(db.root()) / "raw" / "log_000001.raw");
  }

  fs::path dir_;
  std::string first_;
  std::string second_;
};

TEST_F(FailedIngestWithJoints, LeavesEveryJointAsBeforeAndARetryCountsOnce) {
  // The same ingests without a fault: the size of the second one's log lines, and its joints.
  std::uintmax_t second_log = 0;
  Joints expected;
  {
    storage::Database db = create("clean");
    const auto before = untimed(db.joints());
    const std::uintmax_t size = log_size(db);
    IngestionPipeline::ingest_file_auto(db, second_, InferConfig{}, kBatch, false);
    second_log = log_size(db) - size;
    expected = untimed(db.joints());
    ASSERT_EQ(expected.size(), before.size());  // the second file adds to existing joints only
    ASSERT_NE(expected, before);
  }

  storage::Database db = create("failed");
  const storage::DistributionFile file = db.dist_file();
  ASSERT_EQ(file.joints.size(), 12u);  // three joints per shop
  {
    // The log fills up half-way through the ten batches.
    const FileSizeLimit limit(log_size(db) + second_log / 2);
    try {
      IngestionPipeline::ingest_file_auto(db, second_, InferConfig{}, kBatch, false);
      ADD_FAILURE() << "the ingest did not fail";
    } catch (const Error& error) {
      EXPECT_NE(error.full().find("File too large"), std::string::npos) << error.full();
    }
  }
  EXPECT_EQ(db.joints(), file.joints);
  EXPECT_EQ(db.dist_file(), file);
  storage::consistency::expect_lookups_match(db);

  IngestionPipeline::ingest_file_auto(db, second_, InferConfig{}, kBatch, false);
  EXPECT_EQ(untimed(db.joints()), expected);
}

}  // namespace
}  // namespace quib::ingest
