// Dimension keys: the combination of dimension values under which rows are counted.
//
// A key is a plain ordered map from dimension name to value; `std::string` comparison is byte
// order, which is the key order. The canonical text escapes nothing, so two different keys may
// share one text (callers that need exactness compare the keys themselves).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quib::core {

using DimensionKey = std::map<std::string, std::string>;

// Orders the pairs by name; for a repeated name the last pair in input order wins.
DimensionKey dimension_key_from_pairs(std::vector<std::pair<std::string, std::string>> pairs);

// Whether `key` holds `name` with exactly `value`.
bool key_holds(const DimensionKey& key, const std::string& name, std::string_view value);
// Whether `key` holds every pair of `pairs` (the empty map is held by every key).
bool key_holds_all(const DimensionKey& key, const DimensionKey& pairs);

// "name:value" per entry in key order, joined by "/"; the empty key gives the empty text.
std::string canonical_dimension_key(const DimensionKey& key);

// Appends the canonical text to `out` (no allocation beyond growing `out`).
void append_canonical_dimension_key(std::string& out, const DimensionKey& key);

// The key as messages show it: {"name": "value", ...} in key order, names and values quoted by
// `append_debug_string`; the empty key gives "{}".
std::string debug_dimension_key(const DimensionKey& key);

}  // namespace quib::core
