#include "core/schema.h"

namespace quib::core {
namespace {

QuibError validation_error(std::string message) {
  return QuibError{QuibErrorKind::SchemaValidation, std::move(message)};
}

}  // namespace

std::optional<QuibError> Schema::define_variable(VariableDefinition definition) {
  const std::string& name = definition.name;
  if (find_variable(name) != nullptr) {
    return validation_error("variable '" + name + "' already exists");
  }
  if (auto* categorical = definition.var_type.get_if<VariableType::Categorical>();
      categorical != nullptr && categorical->categories.empty()) {
    return validation_error("variable '" + name + "' must define at least one category");
  }
  if (auto* continuous = definition.var_type.get_if<VariableType::Continuous>();
      continuous != nullptr && continuous->bins == 0) {
    return validation_error("variable '" + name + "' must have bins > 0");
  }
  variables.push_back(std::move(definition));
  return std::nullopt;
}

std::optional<QuibError> Schema::define_dimension(DimensionDefinition definition) {
  if (find_dimension(definition.name) != nullptr) {
    return validation_error("dimension '" + definition.name + "' already exists");
  }
  dimensions.push_back(std::move(definition));
  return std::nullopt;
}

const VariableDefinition* Schema::find_variable(std::string_view name) const {
  for (const auto& variable : variables) {
    if (variable.name == name) return &variable;
  }
  return nullptr;
}

const DimensionDefinition* Schema::find_dimension(std::string_view name) const {
  for (const auto& dimension : dimensions) {
    if (dimension.name == name) return &dimension;
  }
  return nullptr;
}

}  // namespace quib::core
