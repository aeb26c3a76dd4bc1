// Statistics over counts, against direct computations in long double arranged differently.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "core/error.h"
#include "math/cramers_v.h"
#include "math/hellinger.h"
#include "math/jsd.h"
#include "math/kl_divergence.h"
#include "math/mutual_info.h"
#include "math/psi.h"
#include "math/rebin.h"
#include "math/wasserstein.h"
#include "query_oracles.h"

namespace quib::math {
namespace {

using Real = long double;
using Counts = std::vector<std::uint64_t>;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sum_of(const Counts& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

// Counts of which about a third are zero; totals that are the counts' sum or somewhat above it.
struct Draw {
  std::mt19937_64 rng;
  std::uint64_t below(std::uint64_t n) { return rng() % n; }
  Counts counts(std::size_t n) {
    Counts out(n);
    for (auto& c : out) c = below(3) == 0 ? 0 : below(1000);
    return out;
  }
  std::uint64_t total_over(std::uint64_t sum) { return below(2) == 0 ? sum : sum + below(500); }
};

void expect_close(double actual, Real expected) {
  EXPECT_NEAR(actual, static_cast<double>(expected), 1e-12 * std::fabs(expected) + 1e-15);
}

// H(M) - (H(P) + H(Q)) / 2 with the entropies of shares of one common scale.
Real jsd_oracle(const Counts& p, const Counts& q, std::uint64_t np, std::uint64_t nq) {
  Real hm = 0, hp = 0, hq = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const Real a = np == 0 ? 0 : Real(p[i]) / np, b = nq == 0 ? 0 : Real(q[i]) / nq;
    const Real m = (a + b) / 2;
    if (a > 0) hp -= a * std::log2(a);
    if (b > 0) hq -= b * std::log2(b);
    if (m > 0) hm -= m * std::log2(m);
  }
  return std::clamp(hm - (hp + hq) / 2, Real(0), Real(1));
}

Real kl_oracle(const Counts& p, const Counts& q, std::uint64_t np, std::uint64_t nq) {
  if (np == 0 || nq == 0) return 0;
  const Real eps = 1e-10;
  const Real log_d = std::log2(Real(p.size()) * eps + nq);
  Real kl = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] == 0) continue;
    const Real share = Real(p[i]) / np;
    kl += share * (std::log2(share) - std::log2(q[i] + eps) + log_d);
  }
  return kl;
}

TEST(MathMeasures, TableMeasuresMatchDirectComputation) {
  Draw draw{std::mt19937_64(101)};
  for (int round = 0; round < 400; ++round) {
    CountTable table(1 + draw.below(6));
    const std::size_t columns = 1 + draw.below(6);
    std::uint64_t sum = 0;
    for (auto& row : table) sum += sum_of(row = draw.counts(columns));
    const std::uint64_t n = draw.total_over(sum);
    if (n == 0) continue;
    SCOPED_TRACE(round);
    const query::oracle::TableOracle oracle(table, n);
    expect_close(mutual_information(table, n), oracle.mi);
    expect_close(normalized_mutual_information(table, n), oracle.nmi);
    expect_close(cramers_v(table, n), oracle.v);
    // The one-pass form that shares margins gives the same figures.
    const TableMargins margins = table_margins(table);
    const MutualInformation together = mutual_information_with_margins(table, margins, n);
    expect_close(together.mi, oracle.mi);
    expect_close(together.nmi, oracle.nmi);
    expect_close(cramers_v(table, margins, n), oracle.v);
  }
}

TEST(MathMeasures, VectorMeasuresMatchDirectComputation) {
  Draw draw{std::mt19937_64(202)};
  for (int round = 0; round < 400; ++round) {
    const std::size_t size = draw.below(12);
    const Counts p = draw.counts(size), q = draw.counts(size);
    const std::uint64_t np = draw.total_over(sum_of(p)), nq = draw.total_over(sum_of(q));
    SCOPED_TRACE(round);
    if (np != 0 || nq != 0) expect_close(jsd(p, q, np, nq), jsd_oracle(p, q, np, nq));
    expect_close(kl_divergence(p, q, np, nq), kl_oracle(p, q, np, nq));
    expect_close(psi(p, q, np, nq), kl_oracle(p, q, np, nq) + kl_oracle(q, p, nq, np));
  }
}

// sqrt(1 - sum sqrt(p q)) and the width times the summed gaps of the cumulative shares, both of
// shares taken in long double.
Real hellinger_oracle(const Counts& p, const Counts& q, std::uint64_t np, std::uint64_t nq) {
  Real affinity = 0;
  for (std::size_t i = 0; i < p.size(); ++i) affinity += std::sqrt(Real(p[i]) / np * q[i] / nq);
  return std::sqrt(std::fmax(Real(0), 1 - affinity));
}

Real wasserstein_oracle(const Counts& p, const Counts& q, std::uint64_t np, std::uint64_t nq,
                        Real width) {
  Real gap = 0, distance = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    gap += Real(p[i]) / np - Real(q[i]) / nq;
    distance += width * std::fabs(gap);
  }
  return distance;
}

TEST(MathMeasures, CompareMeasuresMatchDirectComputation) {
  Draw draw{std::mt19937_64(303)};
  for (int round = 0; round < 400; ++round) {
    const std::size_t size = 1 + draw.below(12);
    const Counts p = draw.counts(size), q = draw.counts(size);
    // Shares of the cells' own sums, so that the affinity form of the oracle holds.
    const std::uint64_t np = sum_of(p), nq = sum_of(q);
    if (np == 0 || nq == 0) continue;
    SCOPED_TRACE(round);
    EXPECT_NEAR(hellinger(p, q, np, nq), static_cast<double>(hellinger_oracle(p, q, np, nq)),
                1e-7);
    expect_close(wasserstein(p, q, np, nq, 0.25), wasserstein_oracle(p, q, np, nq, 0.25));
    // Each cell's part, taken from the same logarithms as the whole, adds up to the whole.
    std::vector<double> parts(size, -1.0);
    expect_close(jsd(share_terms(p, np), share_terms(q, nq), parts), jsd_oracle(p, q, np, nq));
    Real contributions = 0;
    for (const double part : parts) contributions += part;
    expect_close(jsd(p, q, np, nq), contributions);
    // The margin is 1.96 standard errors of the divergence over the effective sample size.
    const double d = jsd(p, q, np, nq);
    const Real margin = 1.96L * std::sqrt(Real(std::fmax(d, 1e-12)) * std::fmax(1 - d, 1e-12) *
                                          (Real(np) + nq) / (Real(np) * nq));
    const JsdInterval interval = jsd_confidence_interval(d, np, nq);
    expect_close(interval.low, std::fmax(d - margin, Real(0)));
    expect_close(interval.high, std::fmin(d + margin, Real(1)));
  }
  const Counts fives{5, 5};
  EXPECT_EQ(hellinger(fives, fives, 0, 0), 0.0);
  EXPECT_EQ(hellinger(fives, fives, 10, 0), 1.0);
  EXPECT_EQ(wasserstein(fives, fives, 10, 0, 1.0), 0.0);
  std::vector<double> parts{-1.0, -1.0};
  jsd(share_terms(Counts{0, 4}, 4), share_terms(Counts{0, 6}, 6), parts);
  EXPECT_EQ(parts, (std::vector<double>{0.0, 0.0}));
  const JsdInterval empty = jsd_confidence_interval(0.0, 0, 0);
  EXPECT_EQ(empty.low, 0.0);
  EXPECT_EQ(empty.high, 0.0);
}

TEST(MathMeasures, RaggedTablesAndHugeSumsStayInBounds) {
  const CountTable ragged{{4, 1, 3}, {2}, {1, 5, 2, 9, 9}};
  const CountTable padded{{4, 1, 3}, {2, 0, 0}, {1, 5, 2}};
  EXPECT_EQ(mutual_information(ragged, 30), mutual_information(padded, 30));
  EXPECT_EQ(normalized_mutual_information(ragged, 18), normalized_mutual_information(padded, 18));
  EXPECT_EQ(cramers_v(ragged, 18), cramers_v(padded, 18));
  const TableMargins m = table_margins({{kMax, 5}, {3, kMax}});
  EXPECT_EQ(m.rows, (Counts{kMax, kMax}));
  EXPECT_EQ(m.columns, (Counts{kMax, kMax}));
}

TEST(MathMeasures, EmptyAndZeroInputsGiveTheirValuesAndSigns) {
  const CountTable zeros{{0, 0}, {0, 0}};
  const Counts none, two_zeros{0, 0}, fives{5, 5};
  const struct {
    const char* name;
    double value, expected;  // compared with the sign
  } cases[] = {
      {"mi of no rows", mutual_information({}, 5), 0.0},
      {"mi of zero total", mutual_information({{1, 2}, {3, 4}}, 0), 0.0},
      {"mi of zero cells", mutual_information(zeros, 5), 0.0},
      {"mi of one row, total above sum", mutual_information({{1, 2}}, 6), 0.5},
      {"nmi of zero cells", normalized_mutual_information(zeros, 5), 0.0},
      {"v of zero cells", cramers_v(zeros, 5), 0.0},
      {"v of one row", cramers_v({{7, 1, 4}}, 12), 0.0},
      {"v of a diagonal", cramers_v({{4, 0}, {0, 6}}, 10), 1.0},
      {"jsd of zero totals", jsd(two_zeros, two_zeros, 0, 0), 0.0},
      {"jsd of zero counts", jsd(two_zeros, two_zeros, 3, 4), -0.0},
      {"jsd of equal vectors", jsd(fives, fives, 10, 10), 0.0},
      {"jsd of disjoint supports", jsd(Counts{3, 0, 1}, Counts{0, 7, 0}, 4, 7), 1.0},
      {"kl of zero q total", kl_divergence(Counts{3}, Counts{1}, 3, 0), 0.0},
      {"kl of zero p counts", kl_divergence(two_zeros, fives, 4, 10), -0.0},
      {"kl of equal halves", kl_divergence(fives, fives, 10, 10), 0.0},
      {"psi of zero p total", psi(fives, fives, 0, 10), 0.0},
      {"psi of empty vectors", psi(none, none, 1, 1), -0.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value, c.expected) << c.name;
    EXPECT_EQ(std::signbit(c.value), std::signbit(c.expected)) << c.name;
  }
}

TEST(MathMeasures, LengthMismatchIsAnInternalError) {
  const Counts two{1, 2}, three{1, 2, 3};
  for (auto measure : {&jsd, &kl_divergence, &psi}) {
    try {
      measure(two, three, 0, 0);
      ADD_FAILURE() << "no error";
    } catch (const InternalError& error) {
      EXPECT_STREQ(error.what(), "vector lengths must match");
    }
  }
}

core::DistributionRepr histogram(double min, double max, Counts counts) {
  const std::uint64_t total = sum_of(counts);
  return {core::ReprHistogram{min, max, std::move(counts), total}};
}

struct RebinCase {
  const char* name;
  core::DistributionRepr source;
  std::uint64_t bins;
  double min, max;
  Counts expected;
};

TEST(Rebin, SpreadsCountsByOverlap) {
  const RebinCase cases[] = {
      {"halves round away from zero", histogram(0, 1, {3}), 2, 0, 1, {2, 2}},
      {"halves round away from even", histogram(0, 1, {5}), 2, 0, 1, {3, 3}},
      {"source of zero width", histogram(2, 2, {4, 5}), 3, 0, 4, {0, 0, 0}},
      {"merges exact quarters", histogram(0, 16, {1, 2, 3, 4, 5, 6, 7, 8}), 2, 0, 16, {10, 26}},
      {"drops what lies outside", histogram(0, 16, {1, 2, 3, 4, 5, 6, 7, 8}), 2, 4, 12, {7, 11}},
      {"skips a zero-width target", histogram(0, 4, {1, 2}), 2, 8, 8, {0, 0}},
  };
  for (const auto& c : cases) {
    const auto out = rebin_histogram(c.source, c.bins, c.min, c.max);
    ASSERT_TRUE(out) << c.name;
    EXPECT_EQ(*out, histogram(c.min, c.max, c.expected)) << c.name;
  }
  EXPECT_FALSE(rebin_histogram(histogram(0, 1, {3}), 0, 0, 1));
  EXPECT_FALSE(rebin_histogram({core::ReprCategorical{{"a"}, {1}, 0, 1}}, 2, 0, 1));
}

TEST(Rebin, OwnGridLeavesCountsUnchanged) {
  Draw draw{std::mt19937_64(303)};
  std::uniform_real_distribution<double> real(-1e3, 1e3);
  for (int round = 0; round < 200; ++round) {
    const double min = real(draw.rng), max = min + std::fabs(real(draw.rng)) + 1e-3;
    const Counts counts = draw.counts(1 + draw.below(40));
    auto source = histogram(min, max, counts);
    source.get_if<core::ReprHistogram>()->total_count += draw.below(5);  // not carried over
    const auto out = rebin_histogram(source, counts.size(), min, max);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, histogram(min, max, counts)) << round;
  }
}

TEST(AlignCategorical, UnitesNamesInByteOrder) {
  using Names = std::vector<std::string>;
  const auto aligned = align_categorical(Names{"b", "a"}, Counts{1}, Names{"c"}, Counts{5});
  EXPECT_EQ(aligned.categories, (Names{"a", "b", "c"}));
  EXPECT_EQ(aligned.a, (Counts{0, 1, 0}));
  EXPECT_EQ(aligned.b, (Counts{0, 0, 5}));

  // A repeated name keeps its last position's count, which is 0 past the end of the counts.
  const Names names_a{"\xc3\xa9", "a", "\xc3\xa9", "B", "a"}, names_b{"a", "a"};
  const auto repeated = align_categorical(names_a, Counts{1, 2, 3}, names_b, Counts{7, 8, 9});
  EXPECT_EQ(repeated.categories, (Names{"B", "a", "\xc3\xa9"}));
  EXPECT_EQ(repeated.a, (Counts{0, 0, 3}));
  EXPECT_EQ(repeated.b, (Counts{0, 8, 0}));
}

}  // namespace
}  // namespace quib::math
