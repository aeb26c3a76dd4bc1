// The statements that show one distribution (SHOW), order a dimension's values by entropy
// (RANK) and measure the information between variables (MI, CMI, CORRELATIONS).
#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/dimension_key.h"
#include "core/distribution.h"
#include "core/error.h"
#include "core/number_text.h"
#include "query/engine.h"
#include "query/result_types.h"
#include "sql/cells.h"
#include "sql/executor.h"
#include "storage/dist_store.h"

namespace quib::sql::executor {
namespace {

namespace number_text = core::number_text;

// A probability of 1 fills the bar of a SHOW row.
constexpr double kShowBarScale = 40.0;
constexpr std::size_t kShowBarLongest = 40;
// One bit of entropy is eight characters of a RANK bar. No distribution whose counts fit in
// 64 bits holds more than 64 bits of entropy, so a longer bar only comes from a corrupt file.
constexpr double kRankBarScale = 8.0;
constexpr std::size_t kRankBarLongest = 64 * 8;

constexpr double kStrongMi = 0.3;
constexpr double kModerateMi = 0.1;

// "{:6}  {:.4}  {}" of a count, its probability and the bar; an empty bar leaves the two
// separating blanks at the end.
std::string count_cell(std::uint64_t count, double probability) {
  std::string out;
  number_text::append_padded(out, count, 6);
  out.append("  ");
  number_text::append_fixed(out, probability, 4);
  out.append("  ");
  out.append(cells::bar(probability * kShowBarScale, kShowBarLongest));
  return out;
}

// The value rows of a histogram, one per bin, each formatted only when asked for.
struct HistogramRows {
  const core::ReprHistogram& histogram;
  double width;

  explicit HistogramRows(const core::ReprHistogram& repr)
      : histogram(repr),
        width((repr.max - repr.min) / static_cast<double>(repr.bin_counts.size())) {}
  std::size_t size() const { return histogram.bin_counts.size(); }
  double probability(std::size_t i) const {
    return core::share(histogram.bin_counts[i], histogram.total_count);
  }
  cells::Row row(std::size_t i) const {
    const double lo = width * static_cast<double>(i) + histogram.min;
    const double hi = width + lo;
    std::string bin = "[";
    number_text::append_fixed(bin, lo, 2);
    bin.append(", ");
    number_text::append_fixed(bin, hi, 2);
    bin.push_back(')');
    return cells::row(std::move(bin), count_cell(histogram.bin_counts[i], probability(i)));
  }
};

// The value rows of a categorical distribution, one per named category. The unknown bucket has
// no row of its own; it is part of the total, so the shown probabilities may sum to less than 1.
struct CategoricalRows {
  const core::ReprCategorical& categorical;

  explicit CategoricalRows(const core::ReprCategorical& repr) : categorical(repr) {}
  std::size_t size() const {
    return std::min(categorical.categories.size(), categorical.counts.size());
  }
  double probability(std::size_t i) const {
    return core::share(categorical.counts[i], categorical.total_count);
  }
  cells::Row row(std::size_t i) const {
    return cells::row(categorical.categories[i],
                      count_cell(categorical.counts[i], probability(i)));
  }
};

HistogramRows value_rows(const core::ReprHistogram& histogram) { return HistogramRows(histogram); }
CategoricalRows value_rows(const core::ReprCategorical& categorical) {
  return CategoricalRows(categorical);
}

// Every value row in stored order; with TOP greatest probability first and with BOTTOM smallest
// first, equal probabilities in stored order either way. Only the rows kept are formatted.
template <typename ValueRows>
void append_value_rows(const ValueRows& values, const Statement::Show& statement,
                       ResultRows& rows) {
  if (!statement.top && !statement.bottom) {
    rows.reserve(rows.size() + values.size());
    for (std::size_t i = 0; i < values.size(); ++i) rows.push_back(values.row(i));
    return;
  }
  const bool greatest_first = statement.top.has_value();
  const auto n = static_cast<std::size_t>(
      std::min<std::uint64_t>(greatest_first ? *statement.top : *statement.bottom,
                              std::numeric_limits<std::size_t>::max()));
  const auto kept = cells::first_positions(
      values.size(), n, greatest_first, [&](std::size_t i) { return values.probability(i); });
  rows.reserve(rows.size() + kept.size());
  for (const std::size_t i : kept) rows.push_back(values.row(i));
}

}  // namespace

QueryResult exec_show(const storage::Database& db, const Statement::Show& statement) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(1 + statement.where_clause.size());
  pairs.emplace_back(statement.at.dimension, statement.at.value);
  for (const DimRef& pair : statement.where_clause) pairs.emplace_back(pair.dimension, pair.value);
  // Exact key only: SHOW displays what is stored, never a sum over partial keys.
  const core::DistributionObject* distribution =
      db.find_distribution(statement.variable, core::dimension_key_from_pairs(std::move(pairs)));
  if (distribution == nullptr) throw Error("distribution not found");

  QueryResult result;
  result.columns = {"Category/Bin", "Count / Prob"};
  auto& rows = result.rows;
  rows.reserve(4);
  rows.push_back(cells::row("Entropy", cells::fixed(distribution->entropy, 4, " bits")));
  rows.push_back(cells::row("Samples", cells::count(distribution->sample_count)));
  rows.push_back(cells::row("Version", cells::count(distribution->version)));
  rows.push_back(cells::row("", ""));
  std::visit([&](const auto& repr) { append_value_rows(value_rows(repr), statement, rows); },
             distribution->repr.value);
  return result;
}

QueryResult exec_rank(const storage::Database& db, const Statement::Rank& statement) {
  struct Entry {
    std::string_view value;
    double entropy;
    std::uint64_t samples;
  };
  std::vector<Entry> entries;
  // No summing: two distributions with the same value (differing in another dimension) are two
  // rows.
  for (const std::size_t position : db.positions_of_variable(statement.variable)) {
    const core::DistributionObject* distribution = &db.distributions()[position];
    const core::DimensionKey& key = distribution->dimension_key;
    if (key.empty()) continue;
    const bool in_slice = std::all_of(statement.where_clause.begin(), statement.where_clause.end(),
                                      [&](const DimRef& pair) {
                                      return core::key_holds(key, pair.dimension, pair.value);
                                    });
    const auto ranked = key.find(statement.dimension);
    if (!in_slice || ranked == key.end()) continue;
    entries.push_back({ranked->second, distribution->entropy, distribution->sample_count});
  }
  cells::sort_descending(entries, [](const Entry& entry) { return entry.entropy; });

  QueryResult result;
  result.columns = {statement.dimension, "Entropy", "Samples", ""};
  result.rows.reserve(entries.size());
  for (const Entry& entry : entries) {
    result.rows.push_back(cells::row(std::string(entry.value), cells::fixed(entry.entropy, 4, " bits"),
                                     cells::count(entry.samples),
                                     cells::bar(entry.entropy * kRankBarScale, kRankBarLongest)));
  }
  return result;
}

QueryResult exec_mi(const storage::Database& db, const query::QueryEngine& engine,
                    const Statement::Mi& statement) {
  const query::MutualInfoResult information =
      engine.mutual_info(db, statement.a, statement.b, build_ref_string(statement.at, {}),
                         {{statement.at.dimension, statement.at.value}});
  const double mi = information.mi;
  QueryResult result;
  result.columns = {"Metric", "Value"};
  auto& rows = result.rows;
  rows.reserve(5);
  rows.push_back(cells::row("MI", cells::fixed(mi, 4, " bits")));
  // The engine reads the AT pair as a reference (where the name "variable" is no dimension) for
  // the MI, and as a plain key for the joint whose further measures are shown; such a pair finds
  // no joint there and the rows are left out.
  if (const auto& stored = information.stored) {
    rows.push_back(cells::row("NMI", cells::fixed(stored->nmi, 4)));
    rows.push_back(cells::row("Cram\u00e9r's V", cells::fixed(stored->cramers_v, 4)));
    rows.push_back(cells::row("Samples", cells::count(stored->total)));
  }
  const char* strength = mi > kStrongMi ? "strong" : mi > kModerateMi ? "moderate" : "weak";
  rows.push_back(cells::row("Strength", strength));
  return result;
}

QueryResult exec_cmi(const storage::Database& db, const query::QueryEngine& engine,
                     const Statement::Cmi& statement) {
  query::CondMutualInfoResult conditional =
      engine.conditional_mutual_info(db, statement.x, statement.y, statement.given, std::nullopt);
  QueryResult result;
  result.columns = {statement.given, "MI", "NMI", "Samples"};
  auto& rows = result.rows;
  rows.reserve(3 + conditional.per_value.size());
  rows.push_back(cells::row("CMI", cells::fixed(conditional.cmi, 4, " bits"), "", ""));
  rows.push_back(cells::row("Total samples", cells::count(conditional.total_samples), "", ""));
  rows.push_back(cells::row("", "", "", ""));
  for (auto& per_value : conditional.per_value) {
    rows.push_back(cells::row(std::move(per_value.value), cells::fixed(per_value.mi, 4),
                              cells::percent(per_value.nmi), cells::count(per_value.total)));
  }
  return result;
}

QueryResult exec_correlations(const storage::Database& db, const query::QueryEngine& engine,
                              const Statement::Correlations& statement) {
  std::optional<std::string_view> over;
  if (statement.over) over = *statement.over;
  query::CorrelationReport report = engine.discover_correlations(db, over, statement.limit);
  QueryResult result;
  result.columns = {"Pair", "Dim", "MI", "NMI", "Cram\u00e9r's V", "Samples"};
  result.rows.reserve(report.pairs.size());
  for (auto& pair : report.pairs) {
    result.rows.push_back(cells::row(cells::pair_names(pair.var_a, pair.var_b),
                                     pair.slice ? std::move(*pair.slice) : std::string("all"),
                                     cells::fixed(pair.mi, 4), cells::percent(pair.nmi),
                                     cells::fixed(pair.cramers_v, 4), cells::count(pair.total)));
  }
  return result;
}

}  // namespace quib::sql::executor
