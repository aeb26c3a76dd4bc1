// Query references: segment splitting, the reserved name, and the two refusals.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "core/error.h"
#include "query/parser.h"

namespace quib::query {
namespace {

struct ReferenceCase {
  std::string text;
  std::optional<std::string> variable;
  DimensionMap dimensions;
  std::string error;  // empty when the text parses
};

ReferenceCase parses(std::string text, std::optional<std::string> variable,
                     DimensionMap dimensions) {
  return {std::move(text), std::move(variable), std::move(dimensions), ""};
}

ReferenceCase fails(std::string text, std::string error) {
  return {std::move(text), std::nullopt, {}, std::move(error)};
}

TEST(ParseReference, GivesVariableAndDimensionsOrTheMessage) {
  const ReferenceCase cases[] = {
      parses("region:north/day:2024-01-03", {}, {{"day", "2024-01-03"}, {"region", "north"}}),
      parses("variable:x", "x", {}),
      parses("variable:x/variable:y", "y", {}),
      parses("a:1/variable:v/b:2", "v", {{"a", "1"}, {"b", "2"}}),
      parses("Variable:x", {}, {{"Variable", "x"}}),
      parses("variables:x", {}, {{"variables", "x"}}),
      parses("a:1/a:2", {}, {{"a", "2"}}),
      parses("a:b:c", {}, {{"a", "b:c"}}),
      parses("a:", {}, {{"a", ""}}),
      parses(":x", {}, {{"", "x"}}),
      parses(" a:1 ", {}, {{" a", "1 "}}),
      parses("variable:", "", {}),
      fails("a:1/", "invalid reference segment ''"),
      fails("/a:1", "invalid reference segment ''"),
      fails("a:1//b:2", "invalid reference segment ''"),
      fails("a", "invalid reference segment 'a'"),
      fails("a:1/b/c", "invalid reference segment 'b'"),
      fails("", "reference cannot be empty"),
      fails(" \t\n ", "reference cannot be empty"),
      // U+3000 and U+2029 are white space; U+200B is not.
      fails("\xE3\x80\x80\xE2\x80\xA9", "reference cannot be empty"),
      fails("\xE2\x80\x8B", "invalid reference segment '\xE2\x80\x8B'"),
  };
  for (const ReferenceCase& c : cases) {
    try {
      const QueryReference reference = parse_reference(c.text);
      EXPECT_EQ(c.error, "") << "parsed: " << c.text;
      EXPECT_EQ(reference.variable, c.variable) << c.text;
      EXPECT_EQ(reference.dimensions, c.dimensions) << c.text;
    } catch (const Error& error) {
      EXPECT_EQ(error.full(), c.error) << c.text;
    }
  }
}

}  // namespace
}  // namespace quib::query
