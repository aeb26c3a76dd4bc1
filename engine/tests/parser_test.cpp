#include "sql/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace quib::sql {
namespace {

using S = Statement;

const DimRef a1{"a", "1"};
const DimRef b2{"b", "2"};

TEST(Parse, BuildsStatement) {
  const std::pair<std::string, Statement> cases[] = {
      // Compare
      {"COMPARE x BETWEEN a:1 AND b:2", {S::CompareBetween{"x", a1, b2, {}}}},
      {"compare x between a:1 and b:2 where c:3 and d:4;",
       {S::CompareBetween{"x", a1, b2, {{"c", "3"}, {"d", "4"}}}}},
      {"COMPARE x ACROSS region", {S::CompareAcross{"x", "region", {}}}},
      {"COMPARE x ACROSS region WHERE y:2024",
       {S::CompareAcross{"x", "region", {{"y", "2024"}}}}},
      {"EXPLAIN a:1 VS b:2", {S::Explain{a1, b2}}},
      {"TRACK x FROM time:2024", {S::Track{"x", {"time", "2024"}, std::nullopt}}},
      {"TRACK x FROM time:2024 GRANULARITY Month", {S::Track{"x", {"time", "2024"}, "Month"}}},
      {"PAIRWISE region ON revenue", {S::Pairwise{"region", "revenue", "jsd"}}},
      {"PAIRWISE region ON revenue USING PSI", {S::Pairwise{"region", "revenue", "PSI"}}},
      {"NEAREST r:eu ON r", {S::Nearest{{"r", "eu"}, "r", "jsd", 3}}},
      {"NEAREST r:eu ON r USING psi LIMIT 2 USING hellinger",
       {S::Nearest{{"r", "eu"}, "r", "hellinger", 2}}},
      // Distribution
      {"SHOW x AT a:1", {S::Show{"x", a1, {}, std::nullopt, std::nullopt}}},
      {"SHOW x AT a:1 WHERE b:2 BOTTOM 3", {S::Show{"x", a1, {b2}, std::nullopt, 3}}},
      {"SHOW x AT a:1 TOP 5", {S::Show{"x", a1, {}, 5, std::nullopt}}},
      {"SHOW x AT a:1 TOP 18446744073709551615",
       {S::Show{"x", a1, {}, 18446744073709551615u, std::nullopt}}},
      {"RANK x BY ENTROPY OVER region WHERE a:1", {S::Rank{"x", "region", {a1}}}},
      {"MI a, b AT r:1", {S::Mi{"a", "b", {"r", "1"}}}},
      {"MI a b AT r:1", {S::Mi{"a", "b", {"r", "1"}}}},
      {"MI a , b AT r:1", {S::Mi{"a", "b", {"r", "1"}}}},
      {"CMI x, y GIVEN z", {S::Cmi{"x", "y", "z"}}},
      {"CMI x y GIVEN z", {S::Cmi{"x", "y", "z"}}},
      {"CORRELATIONS", {S::Correlations{std::nullopt, 20}}},
      {"CORRELATIONS LIMIT 5 OVER region LIMIT 7", {S::Correlations{"region", 7}}},
      {"CORRELATIONS OVER a OVER b LIMIT 0", {S::Correlations{"b", 0}}},
      {"STATS", {S::Stats{}}},
      {"schema;", {S::Schema{}}},
      {"DIMENSIONS", {S::Dimensions{std::nullopt}}},
      {"DIMENSIONS region", {S::Dimensions{"region"}}},
      // Export
      {"EXPORT STATS AS json", {S::Export{{S::Stats{}}, ExportFormat::Json}}},
      {"EXPORT STATS AS JSON", {S::Export{{S::Stats{}}, ExportFormat::Json}}},
      {"export schema as csv", {S::Export{{S::Schema{}}, ExportFormat::Csv}}},
      {"EXPORT EXPORT STATS AS CSV AS JSON",
       {S::Export{{S::Export{{S::Stats{}}, ExportFormat::Csv}}, ExportFormat::Json}}},
      {"EXPORT DIMENSIONS AS CSV", {S::Export{{S::Dimensions{}}, ExportFormat::Csv}}},
      {"EXPORT SHOW x AT a:1 TOP 2 AS CSV",
       {S::Export{{S::Show{"x", a1, {}, 2, std::nullopt}}, ExportFormat::Csv}}},
      {"EXPORT NEAREST r:eu ON r LIMIT 1 AS json;;",
       {S::Export{{S::Nearest{{"r", "eu"}, "r", "jsd", 1}}, ExportFormat::Json}}},
  };
  for (const auto& [text, expected] : cases) EXPECT_TRUE(parser::parse(text) == expected) << text;
}

// The message of the error that `body` throws.
template <typename Body>
std::string error_of(Body body) {
  try {
    body();
  } catch (const Error& error) {
    return error.full();
  }
  return "<no error>";
}

const std::string kStatementList =
    "; expected COMPARE, EXPLAIN, TRACK, SHOW, RANK, MI, CMI, CORRELATIONS, PAIRWISE, NEAREST, "
    "EXPORT, STATS, SCHEMA, or DIMENSIONS";

TEST(ParseError, FailsWithMessage) {
  const std::pair<std::string, std::string> cases[] = {
      // Start
      {"", "empty query"},
      {" ;; ", "empty query"},
      {"blah", "unexpected token Ident(\"blah\")" + kStatementList},
      {"2024 STATS", "unexpected token Number(2024)" + kStatementList},
      {"x:1", "unexpected token DimRef(\"x\", \"1\")" + kStatementList},
      {", STATS", "unexpected token Comma" + kStatementList},
      {"AS", "unexpected token As" + kStatementList},
      {"STATS:", "invalid dimension reference: 'STATS:'"},
      // Expectations
      {"COMPARE", "expected identifier, got Eof"},
      {"COMPARE from", "expected identifier, got From"},
      {"COMPARE x", "expected BETWEEN or ACROSS after variable, got Eof"},
      {"COMPARE x AND", "expected BETWEEN or ACROSS after variable, got And"},
      {"COMPARE x BETWEEN a:1 b:2", "expected And, got DimRef(\"b\", \"2\")"},
      {"COMPARE x BETWEEN a AND b:2", "expected dimension:value, got Ident(\"a\")"},
      {"COMPARE x BETWEEN a:1 AND b:2 WHERE c", "expected dimension:value, got Ident(\"c\")"},
      {"COMPARE x ACROSS r WHERE c:1 AND", "expected dimension:value, got Eof"},
      {"EXPLAIN a:1 b:2", "expected Vs, got DimRef(\"b\", \"2\")"},
      {"TRACK x time:1", "expected From, got DimRef(\"time\", \"1\")"},
      {"TRACK x FROM t:1 GRANULARITY", "expected identifier, got Eof"},
      {"SHOW x a:1", "expected At, got DimRef(\"a\", \"1\")"},
      {"SHOW x AT a:1 TOP five", "expected number after TOP"},
      {"SHOW x AT a:1 BOTTOM", "expected number after BOTTOM"},
      {"RANK x BY y", "expected Entropy, got Ident(\"y\")"},
      {"RANK x ENTROPY", "expected By, got Entropy"},
      {"RANK x BY ENTROPY region", "expected Over, got Ident(\"region\")"},
      {"MI a , , b AT r:1", "expected identifier, got Comma"},
      {"CMI x y z", "expected Given, got Ident(\"z\")"},
      {"CORRELATIONS OVER", "expected identifier, got Eof"},
      {"CORRELATIONS LIMIT -1", "expected number after LIMIT"},
      {"PAIRWISE region revenue", "expected On, got Ident(\"revenue\")"},
      {"NEAREST r:eu ON r LIMIT x", "expected number after LIMIT"},
      {"NEAREST r ON r", "expected dimension:value, got Ident(\"r\")"},
      {"EXPORT STATS", "expected As, got Eof"},
      {"EXPORT STATS AS XML", "expected CSV or JSON after AS, got Ident(\"XML\")"},
      {"EXPORT", "empty query"},
      {"EXPORT EXPORT STATS AS CSV", "expected As, got Eof"},
      {"EXPORT COMPARE \"q\\\" AS CSV", "expected BETWEEN or ACROSS after variable, got As"},
      {"COMPARE a\tb", "expected BETWEEN or ACROSS after variable, got Ident(\"b\")"},
      {"MI e\xCC\x81 x\xE2\x80\x8B", "expected At, got Eof"},
      {"CMI x y GIVEN \xE2\x80\x8Bz:1", "expected identifier, got DimRef(\"\\u{200b}z\", \"1\")"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(error_of([&] { parser::parse(text); }), message) << text;
  }
}

// A word after a complete statement would otherwise turn a misspelt clause into the answer to
// another question.
TEST(ParseError, AnyTokenAfterACompleteStatement) {
  const std::pair<std::string, std::string> cases[] = {
      {"COMPARE x BETWEEN r:n AND r:c WHRE time:2024-03", "Ident(\"WHRE\")"},
      {"NEAREST r:eu ON r LIMT 1", "Ident(\"LIMT\")"},
      {"SHOW x AT a:1 TOPP 1", "Ident(\"TOPP\")"},
      {"COMPARE x ACROSS region WHERE y:2024 LIMIT 5", "Limit"},
      {"SHOW x AT a:1 TOP 5 WHERE c:3", "Where"},
      {"SHOW x AT a:1 TOP 5 BOTTOM 2", "Bottom"},
      {"PAIRWISE region ON revenue USING PSI USING kl", "Using"},
      {"STATS extra words here", "Ident(\"extra\")"},
      {"DIMENSIONS 5", "Number(5)"},
      {"DIMENSIONS FROM", "From"},
      {"DIMENSIONS a b;", "Ident(\"b\")"},
      {"SCHEMA, STATS", "Comma"},
      {"STATS ; SCHEMA", "Ident(\";\")"},
      {"EXPORT STATS AS CSV STATS", "Stats"},
      {"EXPORT EXPORT STATS AS CSV AS JSON x:1", "DimRef(\"x\", \"1\")"},
  };
  for (const auto& [text, token] : cases) {
    EXPECT_EQ(error_of([&] { parser::parse(text); }), "expected end of statement, got " + token)
        << text;
  }
  // Inside EXPORT the inner statement ends where AS is due.
  EXPECT_EQ(error_of([] { parser::parse("EXPORT STATS TOPP AS CSV"); }),
            "expected As, got Ident(\"TOPP\")");
}

std::string nested_exports(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "EXPORT ";
  text += "STATS";
  for (std::size_t i = 0; i < depth; ++i) text += " AS CSV";
  return text;
}

TEST(ParseExport, NestsUpToTheDepthLimitAndRefusesDeeperWithoutExhaustingTheStack) {
  Statement statement = parser::parse(nested_exports(Parser::kMaxExportDepth));
  std::size_t depth = 0;
  for (const Statement* s = &statement; s->get_if<S::Export>() != nullptr;
       s = s->get_if<S::Export>()->inner.get()) {
    ++depth;
  }
  EXPECT_EQ(depth, Parser::kMaxExportDepth);
  for (std::size_t deeper : {Parser::kMaxExportDepth + 1, std::size_t{200000}}) {
    EXPECT_EQ(error_of([&] { parser::parse(nested_exports(deeper)); }),
              "EXPORT statements nested more than 64 deep");
  }
}

TEST(ParseExport, CopiesAreDeep) {
  const Statement original = parser::parse("EXPORT DIMENSIONS region AS CSV");
  Statement copy = original;
  std::get<S::Dimensions>(std::get<S::Export>(copy.value).inner->value).name = "other";
  EXPECT_FALSE(copy == original);
  EXPECT_EQ(std::get<S::Dimensions>(original.get_if<S::Export>()->inner->value).name, "region");
  copy = original;
  EXPECT_TRUE(copy == original);
}

TEST(ParserReads, PastTheEndAsEofAndExpectAdvancesEvenOnFailure) {
  EXPECT_EQ(error_of([] { Parser(std::vector<Token>{}).parse(); }), "empty query");
  Parser past_end({Token{Token::Compare{}}});
  EXPECT_EQ(error_of([&] { past_end.parse(); }), "expected identifier, got Eof");
  EXPECT_EQ(past_end.pos, 2u);
  Parser where(tokenizer::tokenize("AND a:1"));
  EXPECT_TRUE(where.parse_where_clause().empty());
  EXPECT_EQ(where.pos, 0u);
  Parser parser(tokenizer::tokenize("x:1 y"));
  EXPECT_THROW(parser.expect_ident(), Error);
  EXPECT_EQ(parser.pos, 1u);
  EXPECT_THROW(parser.expect_token(Token{Token::On{}}), Error);
  EXPECT_EQ(parser.pos, 2u);
  EXPECT_THROW(parser.expect_dim_ref(), Error);
  EXPECT_EQ(parser.pos, 3u);
}

}  // namespace
}  // namespace quib::sql
