#include "core/dimension_key.h"

#include <algorithm>

#include "core/debug_text.h"

namespace quib::core {

DimensionKey dimension_key_from_pairs(std::vector<std::pair<std::string, std::string>> pairs) {
  DimensionKey key;
  for (auto& [name, value] : pairs) {
    key.insert_or_assign(std::move(name), std::move(value));
  }
  return key;
}

// A lookup per pair: keys are short, and a value of another length is told apart without
// comparing its bytes.
bool key_holds(const DimensionKey& key, const std::string& name, std::string_view value) {
  const auto found = key.find(name);
  return found != key.end() && found->second == value;
}

bool key_holds_all(const DimensionKey& key, const DimensionKey& pairs) {
  return std::all_of(pairs.begin(), pairs.end(),
                     [&](const auto& pair) { return key_holds(key, pair.first, pair.second); });
}

void append_canonical_dimension_key(std::string& out, const DimensionKey& key) {
  bool first = true;
  for (const auto& [name, value] : key) {
    if (!first) out += '/';
    first = false;
    out += name;
    out += ':';
    out += value;
  }
}

std::string canonical_dimension_key(const DimensionKey& key) {
  std::string out;
  append_canonical_dimension_key(out, key);
  return out;
}

std::string debug_dimension_key(const DimensionKey& key) {
  std::string out = "{";
  bool first = true;
  for (const auto& [name, value] : key) {
    if (!first) out += ", ";
    first = false;
    append_debug_string(out, name);
    out += ": ";
    append_debug_string(out, value);
  }
  out += '}';
  return out;
}

}  // namespace quib::core
