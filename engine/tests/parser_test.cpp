#include "sql/parser.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/error.h"

namespace quib::sql {
namespace {

using S = Statement;

struct ParseCase {
  std::string text;
  Statement expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.text; }

class Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Parse, BuildsStatement) {
  EXPECT_TRUE(parser::parse(GetParam().text) == GetParam().expected) << GetParam().text;
}

const DimRef a1{"a", "1"};
const DimRef b2{"b", "2"};

INSTANTIATE_TEST_SUITE_P(
    Compare, Parse,
    testing::Values(
        ParseCase{"COMPARE x BETWEEN a:1 AND b:2", {S::CompareBetween{"x", a1, b2, {}}}},
        ParseCase{"compare x between a:1 and b:2 where c:3 and d:4 trailing words",
                  {S::CompareBetween{"x", a1, b2, {{"c", "3"}, {"d", "4"}}}}},
        ParseCase{"COMPARE x ACROSS region", {S::CompareAcross{"x", "region", {}}}},
        ParseCase{"COMPARE x ACROSS region WHERE y:2024 LIMIT 5",
                  {S::CompareAcross{"x", "region", {{"y", "2024"}}}}},
        ParseCase{"EXPLAIN a:1 VS b:2", {S::Explain{a1, b2}}},
        ParseCase{"TRACK x FROM time:2024", {S::Track{"x", {"time", "2024"}, std::nullopt}}},
        ParseCase{"TRACK x FROM time:2024 GRANULARITY Month",
                  {S::Track{"x", {"time", "2024"}, "Month"}}},
        ParseCase{"PAIRWISE region ON revenue", {S::Pairwise{"region", "revenue", "jsd"}}},
        ParseCase{"PAIRWISE region ON revenue USING PSI USING kl",
                  {S::Pairwise{"region", "revenue", "PSI"}}},
        ParseCase{"NEAREST r:eu ON r", {S::Nearest{{"r", "eu"}, "r", "jsd", 3}}},
        ParseCase{"NEAREST r:eu ON r USING psi LIMIT 2 USING hellinger",
                  {S::Nearest{{"r", "eu"}, "r", "hellinger", 2}}}));

INSTANTIATE_TEST_SUITE_P(
    Distribution, Parse,
    testing::Values(
        ParseCase{"SHOW x AT a:1", {S::Show{"x", a1, {}, std::nullopt, std::nullopt}}},
        ParseCase{"SHOW x AT a:1 WHERE b:2 BOTTOM 3", {S::Show{"x", a1, {b2}, std::nullopt, 3}}},
        ParseCase{"SHOW x AT a:1 TOP 5 WHERE c:3", {S::Show{"x", a1, {}, 5, std::nullopt}}},
        ParseCase{"SHOW x AT a:1 TOP 5 BOTTOM 2", {S::Show{"x", a1, {}, 5, std::nullopt}}},
        ParseCase{"SHOW x AT a:1 TOP 18446744073709551615",
                  {S::Show{"x", a1, {}, 18446744073709551615u, std::nullopt}}},
        ParseCase{"RANK x BY ENTROPY OVER region WHERE a:1",
                  {S::Rank{"x", "region", {a1}}}},
        ParseCase{"MI a, b AT r:1", {S::Mi{"a", "b", {"r", "1"}}}},
        ParseCase{"MI a b AT r:1", {S::Mi{"a", "b", {"r", "1"}}}},
        ParseCase{"MI a , b AT r:1", {S::Mi{"a", "b", {"r", "1"}}}},
        ParseCase{"CMI x, y GIVEN z", {S::Cmi{"x", "y", "z"}}},
        ParseCase{"CMI x y GIVEN z", {S::Cmi{"x", "y", "z"}}},
        ParseCase{"CORRELATIONS", {S::Correlations{std::nullopt, 20}}},
        ParseCase{"CORRELATIONS LIMIT 5 OVER region LIMIT 7", {S::Correlations{"region", 7}}},
        ParseCase{"CORRELATIONS OVER a OVER b LIMIT 0", {S::Correlations{"b", 0}}},
        ParseCase{"STATS", {S::Stats{}}},
        ParseCase{"STATS extra words here", {S::Stats{}}},
        ParseCase{"schema;", {S::Schema{}}},
        ParseCase{"DIMENSIONS", {S::Dimensions{std::nullopt}}},
        ParseCase{"DIMENSIONS region", {S::Dimensions{"region"}}},
        ParseCase{"DIMENSIONS 5", {S::Dimensions{std::nullopt}}},
        ParseCase{"DIMENSIONS FROM", {S::Dimensions{std::nullopt}}}));

INSTANTIATE_TEST_SUITE_P(
    Export, Parse,
    testing::Values(
        ParseCase{"EXPORT STATS AS json", {S::Export{{S::Stats{}}, ExportFormat::Json}}},
        ParseCase{"EXPORT STATS AS JSON", {S::Export{{S::Stats{}}, ExportFormat::Json}}},
        ParseCase{"export schema as csv", {S::Export{{S::Schema{}}, ExportFormat::Csv}}},
        ParseCase{"EXPORT EXPORT STATS AS CSV AS JSON",
                  {S::Export{{S::Export{{S::Stats{}}, ExportFormat::Csv}}, ExportFormat::Json}}},
        ParseCase{"EXPORT DIMENSIONS AS CSV", {S::Export{{S::Dimensions{}}, ExportFormat::Csv}}},
        ParseCase{"EXPORT SHOW x AT a:1 TOP 2 AS CSV",
                  {S::Export{{S::Show{"x", a1, {}, 2, std::nullopt}}, ExportFormat::Csv}}}));

struct ErrorCase {
  std::string text;
  std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* out) { *out << c.text; }

class ParseError : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseError, FailsWithMessage) {
  try {
    parser::parse(GetParam().text);
    ADD_FAILURE() << "no error for " << GetParam().text;
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), GetParam().message);
  }
}

const std::string kStatementList =
    "; expected COMPARE, EXPLAIN, TRACK, SHOW, RANK, MI, CMI, CORRELATIONS, PAIRWISE, NEAREST, "
    "EXPORT, STATS, SCHEMA, or DIMENSIONS";

INSTANTIATE_TEST_SUITE_P(
    Start, ParseError,
    testing::Values(ErrorCase{"", "empty query"}, ErrorCase{" ;; ", "empty query"},
                    ErrorCase{"blah", "unexpected token Ident(\"blah\")" + kStatementList},
                    ErrorCase{"2024 STATS", "unexpected token Number(2024)" + kStatementList},
                    ErrorCase{"x:1", "unexpected token DimRef(\"x\", \"1\")" + kStatementList},
                    ErrorCase{", STATS", "unexpected token Comma" + kStatementList},
                    ErrorCase{"AS", "unexpected token As" + kStatementList},
                    ErrorCase{"STATS:", "invalid dimension reference: 'STATS:'"}));

INSTANTIATE_TEST_SUITE_P(
    Expectations, ParseError,
    testing::Values(
        ErrorCase{"COMPARE", "expected identifier, got Eof"},
        ErrorCase{"COMPARE from", "expected identifier, got From"},
        ErrorCase{"COMPARE x", "expected BETWEEN or ACROSS after variable, got Eof"},
        ErrorCase{"COMPARE x AND", "expected BETWEEN or ACROSS after variable, got And"},
        ErrorCase{"COMPARE x BETWEEN a:1 b:2",
                  "expected And, got DimRef(\"b\", \"2\")"},
        ErrorCase{"COMPARE x BETWEEN a AND b:2", "expected dimension:value, got Ident(\"a\")"},
        ErrorCase{"COMPARE x BETWEEN a:1 AND b:2 WHERE c",
                  "expected dimension:value, got Ident(\"c\")"},
        ErrorCase{"COMPARE x ACROSS r WHERE c:1 AND", "expected dimension:value, got Eof"},
        ErrorCase{"EXPLAIN a:1 b:2", "expected Vs, got DimRef(\"b\", \"2\")"},
        ErrorCase{"TRACK x time:1", "expected From, got DimRef(\"time\", \"1\")"},
        ErrorCase{"TRACK x FROM t:1 GRANULARITY", "expected identifier, got Eof"},
        ErrorCase{"SHOW x a:1", "expected At, got DimRef(\"a\", \"1\")"},
        ErrorCase{"SHOW x AT a:1 TOP five", "expected number after TOP"},
        ErrorCase{"SHOW x AT a:1 BOTTOM", "expected number after BOTTOM"},
        ErrorCase{"RANK x BY y", "expected Entropy, got Ident(\"y\")"},
        ErrorCase{"RANK x ENTROPY", "expected By, got Entropy"},
        ErrorCase{"RANK x BY ENTROPY region", "expected Over, got Ident(\"region\")"},
        ErrorCase{"MI a , , b AT r:1", "expected identifier, got Comma"},
        ErrorCase{"CMI x y z", "expected Given, got Ident(\"z\")"},
        ErrorCase{"CORRELATIONS OVER", "expected identifier, got Eof"},
        ErrorCase{"CORRELATIONS LIMIT -1", "expected number after LIMIT"},
        ErrorCase{"PAIRWISE region revenue", "expected On, got Ident(\"revenue\")"},
        ErrorCase{"NEAREST r:eu ON r LIMIT x", "expected number after LIMIT"},
        ErrorCase{"NEAREST r ON r", "expected dimension:value, got Ident(\"r\")"},
        ErrorCase{"EXPORT STATS", "expected As, got Eof"},
        ErrorCase{"EXPORT STATS AS XML", "expected CSV or JSON after AS, got Ident(\"XML\")"},
        ErrorCase{"EXPORT", "empty query"},
        ErrorCase{"EXPORT EXPORT STATS AS CSV", "expected As, got Eof"},
        ErrorCase{"EXPORT COMPARE \"q\\\" AS CSV",
                  "expected BETWEEN or ACROSS after variable, got As"},
        ErrorCase{"COMPARE a\tb", "expected BETWEEN or ACROSS after variable, got Ident(\"b\")"},
        ErrorCase{"MI e\xCC\x81 x\xE2\x80\x8B", "expected At, got Eof"},
        ErrorCase{"CMI x y GIVEN \xE2\x80\x8Bz:1",
                  "expected identifier, got DimRef(\"\\u{200b}z\", \"1\")"}));

std::string nested_exports(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "EXPORT ";
  text += "STATS";
  for (std::size_t i = 0; i < depth; ++i) text += " AS CSV";
  return text;
}

TEST(ParseExport, NestsUpToTheDepthLimit) {
  Statement statement = parser::parse(nested_exports(Parser::kMaxExportDepth));
  std::size_t depth = 0;
  for (const Statement* s = &statement; s->get_if<S::Export>() != nullptr;
       s = s->get_if<S::Export>()->inner.get()) {
    ++depth;
  }
  EXPECT_EQ(depth, Parser::kMaxExportDepth);
}

TEST(ParseExport, RefusesDeeperNestingWithoutExhaustingTheStack) {
  for (std::size_t depth : {Parser::kMaxExportDepth + 1, std::size_t{200000}}) {
    try {
      parser::parse(nested_exports(depth));
      ADD_FAILURE() << "no error at depth " << depth;
    } catch (const Error& error) {
      EXPECT_STREQ(error.what(), "EXPORT statements nested more than 64 deep");
    }
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

TEST(ParserReads, PastTheEndAsEof) {
  EXPECT_THROW(
      {
        try {
          Parser(std::vector<Token>{}).parse();
        } catch (const Error& error) {
          EXPECT_STREQ(error.what(), "empty query");
          throw;
        }
      },
      Error);
  Parser parser({Token{Token::Compare{}}});
  try {
    parser.parse();
    ADD_FAILURE();
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "expected identifier, got Eof");
  }
  EXPECT_EQ(parser.pos, 2u);
}

TEST(ParserReads, WhereClauseConsumesNothingWithoutWhere) {
  Parser parser(tokenizer::tokenize("AND a:1"));
  EXPECT_TRUE(parser.parse_where_clause().empty());
  EXPECT_EQ(parser.pos, 0u);
}

TEST(ParserReads, ExpectAdvancesEvenOnFailure) {
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
