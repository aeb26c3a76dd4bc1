// The statements that list what a database holds (STATS, SCHEMA, DIMENSIONS) and the one that
// renders another statement's table as text (EXPORT).
#include <set>
#include <string>
#include <utility>

#include "core/number_text.h"
#include "sql/cells.h"
#include "sql/executor.h"
#include "storage/dist_store.h"

namespace quib::sql::executor {

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

}  // namespace quib::sql::executor
