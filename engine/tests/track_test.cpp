// Track: the drift threshold and its events, time values bounded by bytes, and points that
// describe the same slice as the drift beside them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/engine.h"
#include "query/track.h"
#include "query_oracles.h"
#include "query_test_db.h"

namespace quib::query {
namespace {

using oracle::Counts;

TEST(DriftThresholdTest, FlagsOnlyStepsStrictlyAboveAPositiveThreshold) {
  struct Case {
    std::vector<double> drifts;
    double threshold;
    std::vector<std::size_t> event_steps;
    std::string shown;
  };
  const Case cases[] = {
      {{0.01, 0.01, 0.01, 0.01, 0.5}, 0.03, {4}, "0.0300"},  // q1 = q3: three times the median
      {{0.2, 0.2, 0.2}, 0.6, {}, ""},
      {{0.0, 0.0, 0.0, 0.0}, 0.0, {}, ""},
      {{0.4}, 1.2, {}, ""},
      {{0.9, 0.1}, 0.9 + 1.5 * 0.8, {}, ""},  // two steps: q3 is the larger one
      {{0.1, 0.2, 5.0, 0.1, 0.2, 0.1, 0.2, 0.1}, 0.2 + 1.5 * 0.1, {2}, "0.3500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown + " from " + std::to_string(c.drifts.size()) + " steps");
    std::vector<std::string> times(c.drifts.size() + 1);
    for (std::size_t i = 0; i < times.size(); ++i) times[i] = std::to_string(i);
    EXPECT_NEAR(drift_threshold(c.drifts).value(), c.threshold, 1e-12);
    std::vector<DriftEvent> expected;
    for (const std::size_t i : c.event_steps) {
      const std::string message = "drift exceeded threshold " + c.shown + " (IQR-based)";
      expected.push_back({times[i], times[i + 1], message, c.drifts[i]});
    }
    EXPECT_EQ(drift_events(times, c.drifts), expected);
  }
}

class TrackTest : public testing_db::QueryDbTest {
 protected:
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(testing_db::categorical("color", {"red", "green", "blue"}));
  }

  TrackResult track(std::string_view reference, std::optional<std::string_view> lower = {},
                    std::optional<std::string_view> upper = {}) {
    return engine_.track(db(), reference, lower, upper, std::nullopt);
  }

  QueryEngine engine_;
};

TEST_F(TrackTest, BoundsAreInclusiveInByteOrder) {
  for (const char* time : {"2024-02-01", "2023-12", "2024-01-05", "2024-02", "2024-01"}) {
    add("color", {{"time", time}}, {1, 2, 3});
  }
  using Bound = std::optional<std::string_view>;
  const std::vector<std::string> all{"2023-12", "2024-01", "2024-01-05", "2024-02", "2024-02-01"};
  struct Case {
    Bound lower;
    Bound upper;
    std::vector<std::string> times;
  };
  for (const Case& c : {Case{{}, {}, all}, Case{"2024-01", "2024-02", {all[1], all[2], all[3]}},
                        Case{"2024-01-01", "2024-01-9", {all[2]}}, Case{"2025", {}, {}}}) {
    const TrackResult result = track("variable:color/time:2023-12", c.lower, c.upper);
    EXPECT_EQ(result.times, c.times);
    ASSERT_EQ(result.points.size(), c.times.size());
    for (std::size_t i = 0; i < c.times.size(); ++i) EXPECT_EQ(result.points[i].sample_count, 6u);
    EXPECT_EQ(result.drifts.size(), c.times.empty() ? 0 : c.times.size() - 1);
  }
}

TEST_F(TrackTest, PointsAndDriftsDescribeTheWholeTrackedSlice) {
  const Counts eu[] = {{8, 1, 1}, {1, 8, 1}};
  const Counts us[] = {{1, 1, 8}, {2, 2, 6}};
  for (const char* time : {"t1", "t2"}) {
    const std::size_t t = time[1] == '1' ? 0 : 1;
    add("color", {{"region", "eu"}, {"time", time}}, eu[t]);
    add("color", {{"region", "us"}, {"time", time}}, us[t]);
  }
  add("color", {{"region", "eu"}, {"time", "t1"}}, {});  // an empty batch: only a new version
  const Counts sum[] = {{9, 2, 9}, {3, 10, 7}};
  struct Case {
    const char* reference;
    const Counts* slices;
    std::uint64_t versions[2];  // a sum carries its first member's
  };
  for (const Case& c : {Case{"variable:color", sum, {3, 2}}, Case{"region:us", us, {2, 2}}}) {
    SCOPED_TRACE(c.reference);
    const TrackResult result = track(c.reference);
    ASSERT_EQ(result.times, (std::vector<std::string>{"t1", "t2"}));
    for (std::size_t i = 0; i < 2; ++i) {
      const Counts& slice = c.slices[i];
      const TrackPoint expected{"color|" + result.times[i], slice[0] + slice[1] + slice[2],
                                result.entropies[i], c.versions[i]};
      EXPECT_EQ(result.points[i], expected);
      EXPECT_NEAR(result.entropies[i], oracle::entropy_bits(slice), 1e-12);
    }
    ASSERT_EQ(result.drifts.size(), 1u);
    EXPECT_NEAR(result.drifts[0], oracle::jsd_bits(c.slices[0], c.slices[1]), 1e-12);
  }
}

TEST_F(TrackTest, NothingToTrackIsAnEmptyResult) {
  add("color", {{"region", "eu"}}, {1, 2, 3});
  for (const char* reference : {"variable:undefined", "variable:color", "Time:1"}) {
    const TrackResult result = track(reference);
    EXPECT_TRUE(result.times.empty() && result.entropies.empty() && result.drifts.empty() &&
                result.drift_events.empty() && result.points.empty())
        << reference;
  }
}

}  // namespace
}  // namespace quib::query
