#include "ingest/schema_inference.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <string_view>
#include <unordered_set>

#include "core/json.h"
#include "core/number_text.h"
#include "ingest/dates.h"

namespace quib::ingest::schema_inference {
namespace {

using core::json::Value;

constexpr std::uint32_t kContinuousBins = 20;
constexpr double kMachineEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kLowestYear = 1900.0;
constexpr double kHighestYear = 2100.0;
constexpr std::size_t kMostYears = 200;

// The value of a JSON number or number text, or false when the value is neither.
bool to_number(const Value& value, double& out) {
  switch (value.data.index()) {
    case 2:
      out = static_cast<double>(std::get<std::uint64_t>(value.data));
      return true;
    case 3:
      out = static_cast<double>(std::get<std::int64_t>(value.data));
      return true;
    case 4:
      out = std::get<double>(value.data);
      return true;
    case 5:
      return core::number_text::parse_float(std::get<std::string>(value.data), out);
    default:
      return false;
  }
}

struct NumericSummary {
  double min = std::numeric_limits<double>::infinity();
  double max = -std::numeric_limits<double>::infinity();
  bool all_integers = true;
  std::vector<double> values;
};

// Converts every value; false when one does not convert or the range is not finite.
bool summarise_numbers(std::span<const Value* const> values, NumericSummary& summary) {
  summary.values.reserve(values.size());
  for (const Value* value : values) {
    double v = 0.0;
    if (!to_number(*value, v)) return false;
    // NaN compares false both ways, so it moves neither bound.
    if (v < summary.min) summary.min = v;
    if (v > summary.max) summary.max = v;
    if (!(v - std::trunc(v) == 0.0)) summary.all_integers = false;
    summary.values.push_back(v);
  }
  return std::isfinite(summary.min) && std::isfinite(summary.max);
}

bool is_year_column(const NumericSummary& summary) {
  if (!summary.all_integers || summary.min < kLowestYear || summary.max > kHighestYear) {
    return false;
  }
  std::unordered_set<std::uint64_t> distinct;
  for (double v : summary.values) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    distinct.insert(bits);
    if (distinct.size() > kMostYears) return false;
  }
  return true;
}

void add_date_dimension(core::Schema& schema, const std::string& column, const InferConfig& config) {
  schema.dimensions.push_back(core::DimensionDefinition{column, column, config.date_granularity});
}

void decide_numeric(core::Schema& schema, const std::string& column, const NumericSummary& summary,
                    const InferConfig& config) {
  if (is_year_column(summary)) {
    add_date_dimension(schema, column, config);
    return;
  }
  const double span = summary.max - summary.min;
  const double margin = std::fabs(span) < kMachineEpsilon ? 1.0 : span * 0.001;
  core::VariableType::Continuous continuous;
  continuous.bins = kContinuousBins;
  continuous.range = std::make_pair(summary.min, summary.max + margin);
  schema.variables.push_back(core::VariableDefinition{column, core::VariableType{continuous}});
}

void decide_text(core::Schema& schema, const std::string& column,
                 std::span<const Value* const> values, const InferConfig& config) {
  std::deque<std::string> rendered;  // texts of non-text values; a deque keeps views valid
  std::vector<std::string_view> distinct;
  std::unordered_set<std::string_view> seen;
  CategoryRoom room;
  bool all_date_like = true;
  for (const Value* value : values) {
    // Categories are named by the text that resolution later looks each value up by.
    const Cell cell = Cell::borrow(*value);
    std::string_view text = category_text(cell, room);
    if (cell.kind() != Cell::Kind::Text) text = rendered.emplace_back(text);
    if (all_date_like && !dates::is_date_like(text)) all_date_like = false;
    if (seen.insert(text).second) distinct.push_back(text);
    if (!all_date_like && distinct.size() > config.max_categories) break;  // decided: too many
  }
  if (all_date_like) {
    add_date_dimension(schema, column, config);
  } else if (distinct.size() > config.max_categories) {
    schema.dimensions.push_back(core::DimensionDefinition{column, column, std::nullopt});
  } else {
    core::VariableType::Categorical categorical;
    categorical.categories = std::vector<std::string>(distinct.begin(), distinct.end());
    categorical.allow_unknown = true;
    schema.variables.push_back(core::VariableDefinition{column, core::VariableType{categorical}});
  }
}

void decide_column(core::Schema& schema, const std::string& column,
                   std::span<const Value* const> values, const InferConfig& config) {
  if (std::find(config.date_columns.begin(), config.date_columns.end(), column) !=
      config.date_columns.end()) {
    add_date_dimension(schema, column, config);
    return;
  }
  if (values.empty()) return;
  NumericSummary summary;
  if (summarise_numbers(values, summary)) {
    decide_numeric(schema, column, summary, config);
  } else {
    decide_text(schema, column, values, config);
  }
}

}  // namespace

core::Schema infer_schema(const RowTable& table, const InferConfig& config) {
  const std::size_t sample =
      static_cast<std::size_t>(std::min<std::uint64_t>(table.size(), config.sample_rows));

  // Columns in order of first appearance, each with its non-null values in row order. The
  // sample is small, so its values are copied out as JSON values.
  const std::span<const std::string> columns = table.columns();
  constexpr std::size_t kUnseen = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> slot_of_column(columns.size(), kUnseen);
  std::vector<std::uint32_t> order;
  std::vector<std::vector<const Value*>> values;
  std::deque<Value> kept;
  RowScratch scratch;
  for (std::size_t i = 0; i < sample; ++i) {
    for (const Field& field : table.row(i, scratch).fields) {
      std::size_t& slot = slot_of_column[field.column];
      if (slot == kUnseen) {
        slot = order.size();
        order.push_back(field.column);
        values.emplace_back();
      }
      if (!field.value.is_null()) values[slot].push_back(&kept.emplace_back(field.value.to_json()));
    }
  }

  core::Schema schema;
  for (std::size_t k = 0; k < order.size(); ++k) {
    decide_column(schema, columns[order[k]], values[k], config);
  }
  return schema;
}

IngestMapping identity_mapping(const core::Schema& schema) {
  IngestMapping mapping;
  for (const auto& variable : schema.variables) {
    mapping.variables.insert_or_assign(variable.name, variable.name);
  }
  for (const auto& dimension : schema.dimensions) {
    mapping.dimensions.insert_or_assign(dimension.source_column, dimension.name);
  }
  return mapping;
}

}  // namespace quib::ingest::schema_inference
