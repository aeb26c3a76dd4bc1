// What SHOW costs on a histogram of many bins: TOP and BOTTOM format only the rows they keep, so a
// table of a few rows from millions of bins takes memory for a few rows. Every allocation made
// while the statement runs is counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "allocation_probe.h"
#include "query/engine.h"
#include "query_test_db.h"
#include "sql/executor.h"

namespace quib::sql {
namespace {

constexpr std::uint32_t kBins = 200000;

class ShowFootprint : public query::testing_db::QueryDbTest {
 protected:
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(query::testing_db::continuous("x", kBins, {{0.0, 1.0}}));
    std::vector<std::uint64_t> counts(kBins, 0);
    for (std::uint32_t i = 0; i < kBins; i += 997) counts[i] = 1 + i % 5;
    add("x", {{"k", "a"}}, counts);
  }

  // The bytes allocated while `text` runs, and its rows.
  std::size_t allocated_by(std::string_view text, std::size_t& rows) {
    const std::size_t before = allocation_probe::g_allocated.load();
    rows = query(db(), engine_, text).rows.size();
    return allocation_probe::g_allocated.load() - before;
  }

  query::QueryEngine engine_;
};

TEST_F(ShowFootprint, TopAndBottomAllocateForTheRowsTheyKeep) {
  for (const char* text : {"SHOW x AT k:a TOP 5", "SHOW x AT k:a BOTTOM 5"}) {
    std::size_t rows = 0;
    // A kilobyte per kept row is generous; formatting every bin takes hundreds of megabytes.
    EXPECT_LT(allocated_by(text, rows), 64u * 1024) << text;
    EXPECT_EQ(rows, 4u + 5u) << text;
  }
  std::size_t rows = 0;
  allocated_by("SHOW x AT k:a", rows);
  EXPECT_EQ(rows, 4u + kBins);
}

}  // namespace
}  // namespace quib::sql
