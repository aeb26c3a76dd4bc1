#include "sql/executor.h"

#include <set>
#include <utility>
#include <variant>

#include "core/error.h"
#include "core/number_text.h"
#include "sql/cells.h"
#include "storage/dist_store.h"

namespace quib::sql {

QueryResult query(const storage::Database& db, const query::QueryEngine& engine,
                  std::string_view text) {
  Statement statement;
  try {
    statement = parser::parse(text);
  } catch (const Error& error) {
    throw Error("parse error: " + error.full());
  }
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

QueryResult exec_export(const storage::Database& db, const query::QueryEngine& engine,
                        const Statement::Export& statement) {
  const QueryResult inner = execute(db, engine, *statement.inner);
  QueryResult result;
  result.columns.emplace_back("Output");
  result.rows.push_back(
      cells::row(statement.format == ExportFormat::Json ? inner.to_json() : inner.to_csv()));
  return result;
}

QueryResult exec_stats(const storage::Database& db) {
  const storage::DatabaseStats stats = db.stats();
  QueryResult result;
  result.columns = {"Stat", "Value"};
  result.rows.reserve(4);
  result.rows.push_back(cells::row("Distributions", cells::count(stats.distributions)));
  result.rows.push_back(cells::row("Total samples", cells::count(stats.total_samples)));
  result.rows.push_back(cells::row("Variables", cells::count(stats.variables)));
  result.rows.push_back(cells::row("Dimensions", cells::count(stats.dimensions)));
  return result;
}

namespace {

std::string variable_details(const core::VariableType& type) {
  namespace number_text = core::number_text;
  std::string out;
  if (const auto* continuous = type.get_if<core::VariableType::Continuous>()) {
    out.append("continuous  bins=");
    number_text::append_plain(out, continuous->bins);
    out.append("  range=");
    if (continuous->range) {
      out.push_back('[');
      number_text::append_plain(out, continuous->range->first);
      out.append(", ");
      number_text::append_plain(out, continuous->range->second);
      out.push_back(']');
    }
  } else {
    const auto& categorical = std::get<core::VariableType::Categorical>(type.value);
    out.append("categorical  cats=");
    number_text::append_plain(out, categorical.categories.size());
    out.append("  unknown=").append(categorical.allow_unknown ? "true" : "false");
  }
  return out;
}

std::string dimension_details(const core::DimensionDefinition& dimension) {
  std::string out = "source=";
  out.append(dimension.source_column).append("  granularity=");
  out.append(dimension.granularity ? std::string_view(*dimension.granularity) : "none");
  return out;
}

}  // namespace

QueryResult exec_schema(const storage::Database& db) {
  const core::Schema& schema = db.schema();
  QueryResult result;
  result.columns = {"Type", "Name", "Details"};
  result.rows.reserve(schema.variables.size() + schema.dimensions.size() + schema.joints.size());
  for (const auto& variable : schema.variables) {
    result.rows.push_back(cells::row("variable", variable.name, variable_details(variable.var_type)));
  }
  for (const auto& dimension : schema.dimensions) {
    result.rows.push_back(cells::row("dimension", dimension.name, dimension_details(dimension)));
  }
  for (const auto& [a, b] : schema.joints) {
    result.rows.push_back(cells::row("joint", cells::pair_names(a, b), ""));
  }
  return result;
}

QueryResult exec_dimensions(const storage::Database& db, const Statement::Dimensions& statement) {
  QueryResult result;
  if (statement.name) {
    result.columns.push_back(*statement.name);
    std::set<std::string> values = db.dimension_values(*statement.name);
    result.rows.reserve(values.size());
    // Each value moves out of its set node into its cell.
    while (!values.empty()) {
      result.rows.push_back(cells::row(std::move(values.extract(values.begin()).value())));
    }
    return result;
  }
  result.columns = {"Dimension", "Cardinality"};
  const auto& dimensions = db.schema().dimensions;
  result.rows.reserve(dimensions.size());
  for (const auto& dimension : dimensions) {
    std::string cardinality = cells::count(db.dimension_values(dimension.name).size());
    cardinality.append(" values");
    result.rows.push_back(cells::row(dimension.name, std::move(cardinality)));
  }
  return result;
}

}  // namespace executor
}  // namespace quib::sql
