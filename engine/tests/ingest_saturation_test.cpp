// Counts that ingestion adds to stored counts stop at the top of u64, as every sum read from
// storage does: the cells, the totals and the sample counts of distributions and joints.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ingest/pipeline.h"
#include "query/engine.h"
#include "query_test_db.h"
#include "row_building.h"
#include "sql/executor.h"

namespace quib::ingest {
namespace {

using query::testing_db::categorical;
using Counts = std::vector<std::uint64_t>;

constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

struct SaturationCase {
  const char* name;
  Counts stored;       // color red, green under region:eu; the joint's (red, s) cell likewise
  Counts ingested;     // rows of red and of green, each of size s
  Counts cells;        // color's cells afterwards
  std::uint64_t total;  // color's and the joint's samples afterwards
};

class IngestSaturation : public query::testing_db::QueryDbTest,
                         public testing::WithParamInterface<SaturationCase> {
 protected:
  static std::vector<std::string> samples_row(const std::vector<std::vector<std::string>>& rows) {
    for (const auto& row : rows) {
      if (!row.empty() && row[0] == "Samples") return row;
    }
    return {};
  }
};

TEST_P(IngestSaturation, CellsTotalsAndJointsStopAtTheTop) {
  const SaturationCase& c = GetParam();
  core::Schema schema;
  schema.variables = {categorical("color", {"red", "green"}), categorical("size", {"s", "l"})};
  schema.dimensions = {{"region", "region", std::nullopt}};
  schema.joints = {{"color", "size"}};
  recreate_with(schema);
  const core::DimensionKey eu{{"region", "eu"}};
  add("color", eu, c.stored);
  db().ensure_joint_distribution("color", "size", eu);
  auto* joint = db().get_joint_distribution_mut("color", "size", eu);
  joint->add_to_cell(0, 0, c.stored[0]);
  joint->add_to_cell(1, 0, c.stored[1]);

  RowTable rows;
  for (std::size_t color = 0; color < 2; ++color) {
    for (std::uint64_t n = 0; n < c.ingested[color]; ++n) {
      const std::pair<std::string, core::json::Value> values[] = {
          {"region", "eu"}, {"color", color == 0 ? "red" : "green"}, {"size", "s"}};
      add_row(rows, values);
    }
  }
  IngestionPipeline::ingest_records(db(), std::move(rows));

  const auto& stored = *db().find_distribution("color", eu)->repr.get_if<core::ReprCategorical>();
  EXPECT_EQ(stored.counts, c.cells);
  EXPECT_EQ(stored.total_count, c.total);
  const auto* merged = db().get_joint_distribution("color", "size", eu);
  ASSERT_NE(merged, nullptr);
  EXPECT_EQ(merged->sample_count, c.total);
  const std::string total = std::to_string(c.total);
  const auto show = sql::query(db(), query::QueryEngine(), "SHOW color AT region:eu").rows;
  EXPECT_EQ(samples_row(show), (std::vector<std::string>{"Samples", total}));
  const auto mi = sql::query(db(), query::QueryEngine(), "MI color size AT region:eu").rows;
  EXPECT_EQ(samples_row(mi), (std::vector<std::string>{"Samples", total}));
}

INSTANTIATE_TEST_SUITE_P(
    StoredCounts, IngestSaturation,
    testing::Values(SaturationCase{"FarBelow", {5, 1}, {2, 1}, {7, 2}, 9},
                    SaturationCase{"OneBelowTheTop", {kTop - 1, 0}, {2, 0}, {kTop, 0}, kTop},
                    SaturationCase{"CellAtTheTop", {kTop, 0}, {3, 2}, {kTop, 2}, kTop},
                    SaturationCase{"TotalOnlyOverflows", {kTop - 2, 1}, {0, 2}, {kTop - 2, 3},
                                   kTop}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quib::ingest
