#include "sql/executor.h"

#include <utility>
#include <variant>

#include "core/error.h"
#include "sql/cells.h"

namespace quib::sql {

QueryResult query(const storage::Database& db, const query::QueryEngine& engine,
                  std::string_view text) {
  const Statement statement = with_context("parse error", [&] { return parser::parse(text); });
  QueryResult result = executor::execute(db, engine, statement);
  // A result may be held long after the statement: it keeps no room that growing left over.
  result.rows.shrink_to_fit();
  return result;
}

namespace executor {

QueryResult execute(const storage::Database& db, const query::QueryEngine& engine,
                    const Statement& statement) {
  return std::visit(
      [&](const auto& arm) -> QueryResult {
        using Arm = std::decay_t<decltype(arm)>;
        if constexpr (std::is_same_v<Arm, Statement::CompareBetween>) {
          return exec_compare_between(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::CompareAcross>) {
          return exec_compare_across(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Explain>) {
          return exec_explain(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Track>) {
          return exec_track(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Show>) {
          return exec_show(db, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Rank>) {
          return exec_rank(db, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Mi>) {
          return exec_mi(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Cmi>) {
          return exec_cmi(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Correlations>) {
          return exec_correlations(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Pairwise>) {
          return exec_pairwise(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Nearest>) {
          return exec_nearest(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Export>) {
          return exec_export(db, engine, arm);
        } else if constexpr (std::is_same_v<Arm, Statement::Stats>) {
          return exec_stats(db);
        } else if constexpr (std::is_same_v<Arm, Statement::Schema>) {
          return exec_schema(db);
        } else {
          static_assert(std::is_same_v<Arm, Statement::Dimensions>);
          return exec_dimensions(db, arm);
        }
      },
      statement.value);
}

std::string build_ref_string(const DimRef& reference, std::span<const DimRef> where_clause) {
  std::string out;
  cells::append_pair(out, reference.dimension, reference.value);
  for (const DimRef& pair : where_clause) {
    out.push_back('/');
    cells::append_pair(out, pair.dimension, pair.value);
  }
  return out;
}

}  // namespace executor
}  // namespace quib::sql
