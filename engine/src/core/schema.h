// The schema: which variables a database counts, by which dimensions it splits the counts, and
// for which pairs of variables it also keeps joint counts. Field and alternative orders are the
// stored orders of both encodings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/category_list.h"
#include "core/error.h"

namespace quib::core {

struct VariableTypeContinuous {
  std::uint32_t bins = 0;
  std::optional<std::pair<double, double>> range;  // (min, max); absent means [0, 1]
  bool operator==(const VariableTypeContinuous&) const = default;
};

struct VariableTypeCategorical {
  CategoryList categories;  // shared by the distributions made from this definition
  bool allow_unknown = false;
  bool operator==(const VariableTypeCategorical&) const = default;
};

struct VariableType {
  using Continuous = VariableTypeContinuous;
  using Categorical = VariableTypeCategorical;

  std::variant<Continuous, Categorical> value;

  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  bool is_continuous() const { return value.index() == 0; }
  bool is_categorical() const { return value.index() == 1; }
  bool operator==(const VariableType&) const = default;
};

struct VariableDefinition {
  std::string name;
  VariableType var_type;
  bool operator==(const VariableDefinition&) const = default;
};

struct DimensionDefinition {
  std::string name;
  std::string source_column;
  std::optional<std::string> granularity;
  bool operator==(const DimensionDefinition&) const = default;
};

struct Schema {
  std::vector<VariableDefinition> variables;
  std::vector<DimensionDefinition> dimensions;
  std::vector<std::pair<std::string, std::string>> joints;

  // Checks the definition and appends it; a refused definition leaves the schema unchanged.
  std::optional<QuibError> define_variable(VariableDefinition definition);
  std::optional<QuibError> define_dimension(DimensionDefinition definition);

  // Lookups by exact (byte-for-byte) name; null when absent.
  const VariableDefinition* find_variable(std::string_view name) const;
  const DimensionDefinition* find_dimension(std::string_view name) const;

  bool operator==(const Schema&) const = default;
};

}  // namespace quib::core
