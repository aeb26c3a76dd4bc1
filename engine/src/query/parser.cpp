#include "query/parser.h"

#include <string>
#include <utility>
#include <vector>

#include "core/dimension_key.h"
#include "core/error.h"
#include "core/unicode_text.h"

namespace quib::query {

QueryReference parse_reference(std::string_view text) {
  if (core::trim_unicode_white_space(text).empty()) throw Error("reference cannot be empty");
  QueryReference reference;
  // A later pair of a name replaces an earlier one; the key is built once, whatever the count.
  std::vector<std::pair<std::string, std::string>> pairs;
  // Names and values keep their white space: only a text of nothing else is refused.
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('/', start);
    const std::string_view segment = text.substr(start, slash - start);
    const std::size_t colon = segment.find(':');
    if (colon == std::string_view::npos) {
      throw Error("invalid reference segment '" + std::string(segment) + "'");
    }
    const std::string_view name = segment.substr(0, colon);
    std::string value(segment.substr(colon + 1));
    if (name == "variable") {
      reference.variable = std::move(value);
    } else {
      pairs.emplace_back(std::string(name), std::move(value));
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  reference.dimensions = core::dimension_key_from_pairs(std::move(pairs));
  return reference;
}

}  // namespace quib::query
