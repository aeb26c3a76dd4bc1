// Query references: texts such as "region:north/day:2024-01-03" that name a slice of the
// database, and may name the variable under the reserved name "variable".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/dimension_key.h"

namespace quib::query {

// A dimension name -> value map; later pairs of a reference replace earlier ones.
using DimensionMap = core::DimensionKey;

struct QueryReference {
  std::optional<std::string> variable;
  DimensionMap dimensions;
};

// Splits at every "/" (empty segments kept) and each segment at its first ":". Fails with
// "reference cannot be empty" or "invalid reference segment '{}'".
QueryReference parse_reference(std::string_view text);

}  // namespace quib::query
