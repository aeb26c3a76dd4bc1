// The statements that compare distributions: COMPARE ... BETWEEN, COMPARE ... ACROSS, EXPLAIN,
// TRACK, PAIRWISE and NEAREST.
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <utility>
#include <vector>

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

constexpr std::size_t kTopMovers = 10;
constexpr std::size_t kExplainShifts = 5;
constexpr double kShiftMark = 0.05;

// "{:+.4}  ({:.3} → {:.3})  contrib={:.4}" of one category shift.
std::string mover_cell(const query::CategoryShift& shift) {
  std::string out;
  number_text::append_fixed_signed(out, shift.delta, 4);
  out.append("  (");
  number_text::append_fixed(out, shift.p_a, 3);
  out.append(" \u2192 ");
  number_text::append_fixed(out, shift.p_b, 3);
  out.append(")  contrib=");
  number_text::append_fixed(out, shift.contribution, 4);
  return out;
}

std::string interval_cell(double low, double high) {
  std::string out = "[";
  number_text::append_fixed(out, low, 4);
  out.append(", ");
  number_text::append_fixed(out, high, 4);
  out.push_back(']');
  return out;
}

// Full Unicode upper-casing under the root locale, so that "ß" becomes "SS" whatever the
// process locale. Bytes that are not UTF-8 come out as U+FFFD.
std::string unicode_upper(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 3)) {
    throw Error("metric name too long");
  }
  const auto length = static_cast<std::int32_t>(text.size());
  UErrorCode status = U_ZERO_ERROR;
  // UTF-16 never needs more units than UTF-8 has bytes; upper-casing grows a text at most
  // threefold; UTF-8 needs at most three bytes per UTF-16 unit.
  std::u16string source(text.size(), u'\0');
  std::int32_t source_length = 0;
  u_strFromUTF8WithSub(source.data(), length, &source_length, text.data(), length, 0xFFFD, nullptr,
                       &status);
  std::u16string upper(static_cast<std::size_t>(source_length) * 3, u'\0');
  const std::int32_t upper_length =
      u_strToUpper(upper.data(), static_cast<std::int32_t>(upper.size()), source.data(),
                   source_length, "", &status);
  std::string out(static_cast<std::size_t>(upper_length) * 3, '\0');
  std::int32_t out_length = 0;
  u_strToUTF8WithSub(out.data(), static_cast<std::int32_t>(out.size()), &out_length, upper.data(),
                     upper_length, 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) throw InternalError("unicode upper-casing failed");
  out.resize(static_cast<std::size_t>(out_length));
  return out;
}

}  // namespace

QueryResult exec_compare_between(const storage::Database& db, const query::QueryEngine& engine,
                                 const Statement::CompareBetween& statement) {
  const std::string reference_a = build_ref_string(statement.a, statement.where_clause);
  const std::string reference_b = build_ref_string(statement.b, statement.where_clause);
  const query::CompareResult compared =
      engine.compare(db, reference_a, reference_b, statement.variable);

  const std::size_t movers = std::min(compared.top_shifts.size(), kTopMovers);
  QueryResult result;
  result.columns = {"Metric", "Value"};
  auto& rows = result.rows;
  rows.reserve(10 + (movers == 0 ? 0 : movers + 2));
  rows.push_back(cells::row("JSD", cells::fixed(compared.jsd, 6)));
  rows.push_back(cells::row("PSI", cells::fixed(compared.psi, 6)));
  rows.push_back(cells::row("Hellinger", cells::fixed(compared.hellinger, 6)));
  rows.push_back(cells::row("KL(A\u2192B)", cells::fixed(compared.kl_ab, 6)));
  rows.push_back(cells::row("KL(B\u2192A)", cells::fixed(compared.kl_ba, 6)));
  rows.push_back(cells::row("Entropy(A)", cells::fixed(compared.entropy_a, 4, " bits")));
  rows.push_back(cells::row("Entropy(B)", cells::fixed(compared.entropy_b, 4, " bits")));
  rows.push_back(cells::row("Samples", cells::versus(compared.total_a, compared.total_b)));
  rows.push_back(cells::row("95% CI", interval_cell(compared.jsd_ci_low, compared.jsd_ci_high)));
  if (compared.wasserstein) {
    rows.push_back(cells::row("Wasserstein", cells::fixed(*compared.wasserstein, 6)));
  }
  if (movers != 0) {
    rows.push_back(cells::row("", ""));
    rows.push_back(cells::row("--- Top Movers ---", ""));
    for (std::size_t i = 0; i < movers; ++i) {
      const auto& shift = compared.top_shifts[i];
      rows.push_back(cells::row(shift.category, mover_cell(shift)));
    }
  }
  return result;
}

QueryResult exec_compare_across(const storage::Database& db, const query::QueryEngine& engine,
                                const Statement::CompareAcross& statement) {
  const std::set<std::string> value_set = db.dimension_values(statement.dimension);
  if (value_set.size() < 2) {
    throw Error("dimension '" + statement.dimension +
                "' has fewer than 2 values for pairwise comparison");
  }
  const std::vector<std::string> values(value_set.begin(), value_set.end());
  // The stored values go to the engine as they are; only the typed WHERE pairs become a
  // reference text.
  std::optional<std::string> where;
  if (!statement.where_clause.empty()) {
    where = build_ref_string(statement.where_clause.front(),
                             std::span(statement.where_clause).subspan(1));
  }
  const query::AcrossResult across =
      engine.compare_across(db, statement.dimension, values, where, statement.variable);

  // Each row keeps its JSD as the cell shows it, read back, because that rounded figure is what
  // orders the table.
  struct Entry {
    double shown_jsd;
    cells::Row row;
  };
  std::vector<Entry> entries;
  entries.reserve(across.pairs.size());
  std::size_t pair = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = i + 1; j < values.size(); ++j) {
      const std::optional<query::CompareResult>& compared = across.pairs[pair++];
      // A pair that cannot be compared shows as "N/A" and the table goes on.
      cells::Row row =
          compared ? cells::row(values[i], values[j], cells::fixed(compared->jsd, 6),
                                cells::fixed(compared->hellinger, 6),
                                cells::fixed(compared->psi, 6),
                                cells::versus(compared->total_a, compared->total_b))
                   : cells::row(values[i], values[j], "N/A", "N/A", "N/A", "N/A");
      const double shown_jsd = cells::read_back(row[2]);
      entries.push_back({shown_jsd, std::move(row)});
    }
  }
  cells::sort_descending(entries, [](const Entry& entry) { return entry.shown_jsd; });

  QueryResult result;
  result.columns = {"Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"};
  result.rows.reserve(entries.size());
  for (auto& entry : entries) result.rows.push_back(std::move(entry.row));
  return result;
}

QueryResult exec_explain(const storage::Database& db, const query::QueryEngine& engine,
                         const Statement::Explain& statement) {
  const query::ExplainResult explained =
      engine.explain(db, build_ref_string(statement.a, {}),
                     build_ref_string(statement.b, {}));
  QueryResult result;
  result.columns = {"Variable", "JSD", "Fraction", "H(A)", "H(B)"};
  auto& rows = result.rows;
  rows.push_back(cells::row("TOTAL", cells::fixed(explained.total, 6), "100.0%", "", ""));
  for (const auto& contribution : explained.contributions) {
    rows.push_back(cells::row(contribution.variable, cells::fixed(contribution.jsd, 6),
                              cells::percent(contribution.share),
                              cells::fixed(contribution.entropy_a, 4),
                              cells::fixed(contribution.entropy_b, 4)));
    const std::size_t shown = std::min(contribution.top_shifts.size(), kExplainShifts);
    for (std::size_t i = 0; i < shown; ++i) {
      const auto& shift = contribution.top_shifts[i];
      std::string category = "  ";
      category.append(shift.category);
      std::string delta;
      number_text::append_fixed_signed(delta, shift.delta, 4);
      rows.push_back(cells::row(std::move(category), std::move(delta),
                                cells::labelled("contrib=", shift.contribution, 4), "",
                                ""));
    }
  }
  return result;
}

QueryResult exec_track(const storage::Database& db, const query::QueryEngine& engine,
                       const Statement::Track& statement) {
  // The variable rides in the reference under the reserved name; being last, it wins over a FROM
  // pair on a dimension of that name.
  std::string reference = build_ref_string(statement.from, {});
  reference.push_back('/');
  cells::append_pair(reference, "variable", statement.variable);
  std::optional<std::string_view> granularity;
  if (statement.granularity) granularity = *statement.granularity;
  const query::TrackResult tracked =
      engine.track(db, reference, std::nullopt, std::nullopt, granularity);

  QueryResult result;
  result.columns = {"Time", "Entropy", "Drift (JSD)"};
  auto& rows = result.rows;
  const std::size_t points = std::min(tracked.times.size(), tracked.entropies.size());
  rows.reserve(points + (tracked.drift_events.empty() ? 0 : tracked.drift_events.size() + 1));
  for (std::size_t k = 0; k < points; ++k) {
    const double drift = k < tracked.drifts.size() ? tracked.drifts[k] : 0.0;
    rows.push_back(cells::row(tracked.times[k], cells::fixed(tracked.entropies[k], 4),
                              cells::fixed(drift, 4, drift > kShiftMark ? " \u2190 shift" : "")));
  }
  if (!tracked.drift_events.empty()) {
    rows.push_back(cells::row("", "", ""));
    for (const auto& event : tracked.drift_events) {
      std::string step = event.from;
      step.append(" \u2192 ").append(event.to);
      rows.push_back(cells::row(std::move(step), cells::labelled("JSD=", event.value, 4),
                                event.message));
    }
  }
  return result;
}

QueryResult exec_pairwise(const storage::Database& db, const query::QueryEngine& engine,
                          const Statement::Pairwise& statement) {
  const query::PairwiseResult pairwise =
      engine.pairwise(db, statement.dimension, statement.variable, statement.metric);
  const std::size_t n = pairwise.values.size();
  QueryResult result;
  result.columns.reserve(n + 1);
  result.columns.emplace_back();
  result.columns.insert(result.columns.end(), pairwise.values.begin(), pairwise.values.end());
  result.rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    cells::Row row;
    row.reserve(n + 1);
    row.push_back(pairwise.values[i]);
    for (std::size_t j = 0; j < n; ++j) {
      row.push_back(i == j ? std::string("\u2014") : cells::fixed(pairwise.matrix[i][j], 4));
    }
    result.rows.push_back(std::move(row));
  }
  return result;
}

QueryResult exec_nearest(const storage::Database& db, const query::QueryEngine& engine,
                         const Statement::Nearest& statement) {
  const std::set<std::string> values = db.dimension_values(statement.dimension);
  std::vector<std::string> candidates;
  candidates.reserve(values.size());
  for (const auto& value : values) {
    if (value != statement.target.value) candidates.push_back(value);
  }
  const query::NearestResult nearest =
      engine.nearest(db, build_ref_string(statement.target, {}), statement.dimension, candidates,
                     statement.metric, statement.limit);

  QueryResult result;
  result.columns.reserve(2);
  result.columns.push_back(statement.dimension);
  result.columns.push_back(unicode_upper(statement.metric));
  result.rows.reserve(nearest.nearest.size());
  for (const auto& candidate : nearest.nearest) {
    result.rows.push_back(
        cells::row(candidates[candidate.candidate], cells::fixed(candidate.distance, 6)));
  }
  return result;
}

}  // namespace quib::sql::executor
