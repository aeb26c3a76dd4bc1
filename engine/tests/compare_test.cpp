// Compare: the measures of categorical and histogram sides against direct computations, the
// edge cases of empty sides, the shift order, the interval, and the choice of variable.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "query/cache.h"
#include "query/compare.h"
#include "query/engine.h"
#include "query_test_db.h"

namespace quib::query {
namespace {

using testing_db::categorical;
using testing_db::continuous;
using testing_db::error_of;
using Counts = std::vector<std::uint64_t>;
using Histogram = core::DistributionRepr::Histogram;
using Categorical = core::DistributionRepr::Categorical;

class Compare : public testing_db::QueryDbTest {
 protected:
  void SetUp() override {
    QueryDbTest::SetUp();
    db().define_variable(categorical("color", {"red", "green", "blue"}));
    db().define_variable(categorical("tone", {"b", "a"}));
    db().define_variable(continuous("size", 10, {{0.0, 10.0}}));
  }

  // Puts `repr` in place of the stored counts under `key`, as an older schema could have left it.
  void store(const std::string& variable, const core::DimensionKey& key,
             core::DistributionRepr repr) {
    db().distribution_at(db().ensure_distribution_position(variable, key)).repr = std::move(repr);
  }

  CompareResult compare(const std::string& variable, const std::string& a, const std::string& b) {
    return execute_compare(db(), cache_, variable, {{"side", a}}, {{"side", b}});
  }

  QueryCache cache_;
};

// Every measure shared by both kinds, recomputed from shares laid out the other way round.
void expect_measures(const CompareResult& r, const Counts& a, const Counts& b, double na,
                     double nb) {
  double kl_ab = 0, kl_ba = 0, h_a = 0, h_b = 0, bhattacharyya = 0, js = 0;
  const double n = static_cast<double>(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double pa = a[i] / na, pb = b[i] / nb, m = (pa + pb) / 2;
    if (a[i] > 0) kl_ab += pa * std::log2(pa * (n * 1e-10 + nb) / (b[i] + 1e-10));
    if (b[i] > 0) kl_ba += pb * std::log2(pb * (n * 1e-10 + na) / (a[i] + 1e-10));
    if (a[i] > 0) h_a -= pa * std::log2(pa);
    if (b[i] > 0) h_b -= pb * std::log2(pb);
    bhattacharyya += std::sqrt(pa * pb);
    if (pa > 0) js += pa * std::log2(pa / m) / 2;
    if (pb > 0) js += pb * std::log2(pb / m) / 2;
  }
  // With both sides' shares summing to one, sum (sqrt a - sqrt b)^2 = 2 - 2 sum sqrt(ab).
  const double hellinger = std::sqrt(std::fmax(1 - bhattacharyya, 0.0));
  EXPECT_NEAR(r.kl_ab, kl_ab, 1e-9);
  EXPECT_NEAR(r.kl_ba, kl_ba, 1e-9);
  EXPECT_NEAR(r.psi, kl_ab + kl_ba, 1e-9);
  EXPECT_NEAR(r.entropy_a, h_a, 1e-12);
  EXPECT_NEAR(r.entropy_b, h_b, 1e-12);
  EXPECT_NEAR(r.hellinger, hellinger, 1e-7);
  EXPECT_NEAR(r.jsd, js, 1e-12);
  const double margin = 1.96 * std::sqrt(std::fmax(js, 1e-12) * std::fmax(1 - js, 1e-12) *
                                         (na + nb) / (na * nb));
  EXPECT_NEAR(r.jsd_ci_low, std::fmax(js - margin, 0.0), 1e-12);
  EXPECT_NEAR(r.jsd_ci_high, std::fmin(js + margin, 1.0), 1e-12);
}

TEST_F(Compare, RandomCategoricalSidesMatchDirectComputation) {
  std::mt19937_64 rng(12);
  for (int round = 0; round < 50; ++round) {
    Counts a(3), b(3);
    for (auto& c : a) c = rng() % 4 == 0 ? 0 : rng() % 200;
    for (auto& c : b) c = rng() % 4 == 0 ? 0 : rng() % 200;
    a[round % 3] += 1;
    b[(round + 1) % 3] += 1;
    const std::string side = std::to_string(round);
    add("color", {{"side", side + "a"}}, a);
    add("color", {{"side", side + "b"}}, b);
    const CompareResult r = compare("color", side + "a", side + "b");
    // The union of the names in byte order: blue, green, red.
    const Counts aligned_a{a[2], a[1], a[0]}, aligned_b{b[2], b[1], b[0]};
    const double na = a[0] + a[1] + a[2], nb = b[0] + b[1] + b[2];
    expect_measures(r, aligned_a, aligned_b, na, nb);
    double contributions = 0;
    for (const auto& shift : r.top_shifts) contributions += shift.contribution;
    EXPECT_NEAR(contributions, r.jsd, 1e-12);
    EXPECT_EQ(r.total_a, na);
    EXPECT_FALSE(r.wasserstein.has_value());
  }
}

TEST_F(Compare, BothSidesEmptyGiveZerosAndNoShifts) {
  db().ensure_distribution("color", {{"side", "a"}});
  db().ensure_distribution("color", {{"side", "b"}});
  const CompareResult r = compare("color", "a", "b");
  CompareResult zeros;
  EXPECT_EQ(r, zeros);
  for (double value : {r.jsd, r.kl_ab, r.kl_ba, r.psi, r.entropy_a, r.hellinger, r.jsd_ci_high}) {
    EXPECT_FALSE(std::signbit(value));
  }
}

TEST_F(Compare, OneSideEmpty) {
  db().ensure_distribution("color", {{"side", "a"}});
  add("color", {{"side", "b"}}, {2, 2, 0});
  const CompareResult r = compare("color", "a", "b");
  EXPECT_EQ(r.hellinger, 1.0);
  EXPECT_EQ(r.kl_ab, 0.0);
  EXPECT_EQ(r.kl_ba, 0.0);
  EXPECT_EQ(r.psi, 0.0);
  EXPECT_EQ(r.entropy_a, 0.0);
  EXPECT_EQ(r.entropy_b, 1.0);
  EXPECT_DOUBLE_EQ(r.jsd, 0.5);
  EXPECT_EQ(r.jsd_ci_low, 0.5);  // n_eff is 0: no margin
  ASSERT_EQ(r.top_shifts.size(), 3u);
  EXPECT_EQ(r.top_shifts[0].category, "green");
  EXPECT_EQ(r.top_shifts[1].category, "red");
  EXPECT_EQ(r.top_shifts[2], (CategoryShift{"blue", 0.0, 0.0, 0.0, 0.0}));
}

std::string names_of(const CompareResult& r) {
  std::string names;
  for (const auto& shift : r.top_shifts) names += shift.category + " ";
  return names;
}

TEST_F(Compare, ShiftsOrderByAbsoluteChangeThenName) {
  add("color", {{"side", "a"}}, {1, 1, 2});
  add("color", {{"side", "b"}}, {2, 2, 4});
  const CompareResult same = compare("color", "a", "b");
  EXPECT_EQ(same.jsd, 0.0);
  EXPECT_EQ(names_of(same), "blue green red ");
  for (const auto& shift : same.top_shifts) EXPECT_EQ(shift.delta, 0.0);
  // tone's categories are b, a: the union is ordered a, b whatever the stored order.
  add("tone", {{"side", "a"}}, {5, 5});
  add("tone", {{"side", "b"}}, {1, 3});
  store("tone", {{"side", "c"}}, {Categorical{{"b", "c", "a"}, {1, 2, 1}, 0, 4}});
  const CompareResult r = compare("tone", "a", "b");
  EXPECT_EQ(names_of(r), "a b ");
  EXPECT_EQ(r.top_shifts[0].delta, 0.25);
  EXPECT_EQ(r.top_shifts[1].delta, -0.25);
  const CompareResult only_b = compare("tone", "a", "c");
  EXPECT_EQ(names_of(only_b), "c a b ");
  EXPECT_EQ(only_b.top_shifts[0], (CategoryShift{"c", 0.0, 0.5, 0.5, 0.25}));
}

TEST_F(Compare, UnknownRowsCountInTheTotalOnly) {
  add("tone", {{"side", "a"}}, {1, 1}, 2);
  add("tone", {{"side", "b"}}, {1, 1});
  const CompareResult r = compare("tone", "a", "b");
  EXPECT_EQ(r.total_a, 4u);
  EXPECT_EQ(r.entropy_a, 1.0);
  EXPECT_EQ(r.top_shifts[0].p_a, 0.25);
  EXPECT_EQ(r.top_shifts[0].delta, 0.25);
}

TEST_F(Compare, HistogramsOfDifferentGridsMeetOnTheUnionGrid) {
  add("size", {{"side", "a"}}, Counts(10, 1));
  store("size", {{"side", "b"}}, {Histogram{5.0, 20.0, {3, 0, 0, 0, 3}, 6}});
  const CompareResult r = compare("size", "a", "b");
  // Onto [0, 20] in 10 bins of 2: A's unit bins pair up; B's bins of 3 split 1/3 and 2/3.
  const Counts a{2, 2, 2, 2, 2, 0, 0, 0, 0, 0}, b{0, 0, 1, 2, 0, 0, 0, 0, 1, 2};
  EXPECT_EQ(r.total_a, 10u);
  EXPECT_EQ(r.total_b, 6u);
  expect_measures(r, a, b, 10, 6);
  // Cumulative shares differ by 0.2, 0.4, 13/30, 0.3, 0.5 four times, 1/3, 0 over bins 2 wide.
  EXPECT_NEAR(*r.wasserstein, 22.0 / 3, 1e-12);
  EXPECT_TRUE(r.top_shifts.empty());
  // All the mass at opposite ends of one grid: the span less one bin.
  Counts first(10, 0), last(10, 0);
  first[0] = 5;
  last[9] = 7;
  add("size", {{"side", "first"}}, first);
  add("size", {{"side", "last"}}, last);
  EXPECT_DOUBLE_EQ(*compare("size", "first", "last").wasserstein, 9.0);
  EXPECT_EQ(*compare("size", "first", "first").wasserstein, 0.0);
}

TEST_F(Compare, SufficientSamplesNeedThirtyOnEachSide) {
  struct Case {
    std::uint64_t a, b;
    bool sufficient;
  };
  for (const Case& c : {Case{30, 30, true}, Case{29, 1000, false}, Case{1000, 29, false}}) {
    const std::string name = std::to_string(c.a) + "-" + std::to_string(c.b);
    add("tone", {{"side", name + "a"}}, {c.a, 0});
    add("tone", {{"side", name + "b"}}, {0, c.b});
    EXPECT_EQ(compare("tone", name + "a", name + "b").sufficient_samples, c.sufficient) << name;
  }
}

TEST_F(Compare, RefusalsLeaveNothingCached) {
  store("size", {{"side", "cat"}}, {Categorical{{"x"}, {1}, 0, 1}});
  add("size", {{"side", "hist"}}, Counts(10, 1));
  store("size", {{"side", "none1"}}, {Histogram{0.0, 1.0, {}, 0}});
  store("size", {{"side", "none2"}}, {Histogram{0.0, 1.0, {}, 0}});
  EXPECT_EQ(error_of([&] { compare("size", "cat", "hist"); }), "type mismatch for compare");
  EXPECT_EQ(error_of([&] { compare("size", "hist", "cat"); }), "type mismatch for compare");
  EXPECT_EQ(error_of([&] { compare("size", "none1", "none2"); }), "failed to rebin A");
  EXPECT_EQ(cache_.size(), 0u);
  // One side without bins is rebinned onto the other's grid.
  EXPECT_EQ(compare("size", "none1", "hist").total_a, 0u);
  EXPECT_EQ(error_of([&] { compare("size", "x", "y"); }),
            "distribution not found for variable 'size' and dimensions {\"side\": \"x\"}");
}

class EngineCompare : public Compare {
 protected:
  QueryEngine engine_;
};

TEST_F(EngineCompare, VariableComesFromArgumentThenReferenceAThenBThenSchema) {
  add("color", {{"side", "a"}}, {1, 0, 0});
  add("color", {{"side", "b"}}, {0, 1, 0});
  add("tone", {{"side", "a"}}, {3, 0});
  add("tone", {{"side", "b"}}, {1, 1, 0});
  auto total = [&](std::string_view a, std::string_view b, std::optional<std::string_view> v) {
    return engine_.compare(db(), a, b, v).total_a;
  };
  EXPECT_EQ(total("side:a", "side:b", std::nullopt), 1u);  // schema's first: color
  EXPECT_EQ(total("side:a", "side:b/variable:tone", std::nullopt), 3u);
  EXPECT_EQ(total("side:a/variable:color", "side:b/variable:tone", std::nullopt), 1u);
  EXPECT_EQ(total("side:a/variable:color", "side:b", "tone"), 3u);
  EXPECT_EQ(error_of([&] { total("side", "side:b", "tone"); }), "invalid reference segment 'side'");
  EXPECT_EQ(error_of([&] { total("side:a", " ", "tone"); }), "reference cannot be empty");
}

using EngineWithoutVariables = testing_db::QueryDbTest;

TEST_F(EngineWithoutVariables, RefusesWhenNoVariableIsNamedAnywhere) {
  EXPECT_EQ(error_of([&] { QueryEngine().compare(db(), "a:1", "a:2", std::nullopt); }),
            "no variable available in schema");
}

}  // namespace
}  // namespace quib::query
