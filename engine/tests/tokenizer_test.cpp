#include "sql/tokenizer.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/error.h"

namespace quib::sql {
namespace {

// The token list as its renderings joined by blanks: a readable, exact picture of every field.
std::string rendered(std::string_view text) {
  std::string out;
  for (const Token& token : tokenizer::tokenize(text)) {
    if (!out.empty()) out.push_back(' ');
    out += debug_string(token);
  }
  return out;
}

struct TokenizeCase {
  std::string text;
  std::string tokens;
};

void PrintTo(const TokenizeCase& c, std::ostream* out) { *out << c.text; }

class Tokenize : public testing::TestWithParam<TokenizeCase> {};

TEST_P(Tokenize, ProducesTokens) { EXPECT_EQ(rendered(GetParam().text), GetParam().tokens); }

INSTANTIATE_TEST_SUITE_P(
    Blanks, Tokenize,
    testing::Values(TokenizeCase{"", "Eof"}, TokenizeCase{"  \t\n ", "Eof"},
                    TokenizeCase{";;;", "Eof"},
                    // U+3000 and U+00A0 are whitespace; U+200B is not.
                    TokenizeCase{"\xE3\x80\x80STATS\xC2\xA0", "Stats Eof"},
                    TokenizeCase{"a\xE2\x80\x83\xC2\x85\x0B b", "Ident(\"a\") Ident(\"b\") Eof"},
                    TokenizeCase{"a\xE2\x80\x8B b", "Ident(\"a\\u{200b}\") Ident(\"b\") Eof"}));

INSTANTIATE_TEST_SUITE_P(
    Keywords, Tokenize,
    testing::Values(
        TokenizeCase{"compare between and explain vs track from granularity show at rank by over "
                     "mi cmi given correlations limit pairwise on using nearest stats schema "
                     "dimensions entropy where top bottom across export as csv json",
                     "Compare Between And Explain Vs Track From Granularity Show At Rank By Over "
                     "Mi Cmi Given Correlations Limit Pairwise On Using Nearest Stats Schema "
                     "Dimensions Entropy Where Top Bottom Across Export As Csv Json Eof"},
        TokenizeCase{"CoMpArE COMPARE", "Compare Compare Eof"},
        TokenizeCase{"comparex compar", "Ident(\"comparex\") Ident(\"compar\") Eof"},
        // Full Unicode upper-casing would turn these into STATS and LIMIT.
        TokenizeCase{"\xC5\xBFtats l\xC4\xB1mit",
                     "Ident(\"\xC5\xBFtats\") Ident(\"l\xC4\xB1mit\") Eof"},
        TokenizeCase{"from:x", "DimRef(\"from\", \"x\") Eof"}));

INSTANTIATE_TEST_SUITE_P(
    References, Tokenize,
    testing::Values(TokenizeCase{"region:eu", "DimRef(\"region\", \"eu\") Eof"},
                    TokenizeCase{"Region:EU", "DimRef(\"Region\", \"EU\") Eof"},
                    TokenizeCase{"a:b:c", "DimRef(\"a\", \"b:c\") Eof"},
                    TokenizeCase{"a::", "DimRef(\"a\", \":\") Eof"},
                    TokenizeCase{"time:2024-01,", "DimRef(\"time\", \"2024-01\") Comma Eof"},
                    // Malformed UTF-8 is an ordinary part of a word.
                    TokenizeCase{"\xFF:x", "DimRef(\"\xEF\xBF\xBD\", \"x\") Eof"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, Tokenize,
    testing::Values(TokenizeCase{"+7 007 0", "Number(7) Number(7) Number(0) Eof"},
                    TokenizeCase{"18446744073709551615", "Number(18446744073709551615) Eof"},
                    TokenizeCase{"018446744073709551615", "Number(18446744073709551615) Eof"},
                    TokenizeCase{"18446744073709551616", "Ident(\"18446744073709551616\") Eof"},
                    TokenizeCase{"99999999999999999999999",
                                 "Ident(\"99999999999999999999999\") Eof"},
                    TokenizeCase{"-5 1.5 0x10 7e3",
                                 "Ident(\"-5\") Ident(\"1.5\") Ident(\"0x10\") Ident(\"7e3\") Eof"},
                    TokenizeCase{"+ - ++7 +-7 -0",
                                 "Ident(\"+\") Ident(\"-\") Ident(\"++7\") Ident(\"+-7\") "
                                 "Ident(\"-0\") Eof"}));

INSTANTIATE_TEST_SUITE_P(
    Commas, Tokenize,
    testing::Values(TokenizeCase{"5,", "Number(5) Comma Eof"}, TokenizeCase{",", "Comma Eof"},
                    TokenizeCase{",,", "Ident(\",\") Comma Eof"},
                    TokenizeCase{"a,b", "Ident(\"a,b\") Eof"},
                    TokenizeCase{"a ,b", "Ident(\"a\") Ident(\",b\") Eof"},
                    TokenizeCase{"mi, x,, y",
                                 "Mi Comma Ident(\"x,\") Comma Ident(\"y\") Eof"}));

INSTANTIATE_TEST_SUITE_P(
    Semicolons, Tokenize,
    testing::Values(TokenizeCase{"STATS;;", "Stats Eof"},
                    TokenizeCase{"STATS ; ;", "Stats Ident(\";\") Eof"},
                    TokenizeCase{"STATS; ;", "Ident(\"STATS;\") Eof"},
                    TokenizeCase{"STATS;\t", "Stats Eof"},
                    TokenizeCase{"STATS;,", "Ident(\"STATS;\") Comma Eof"},
                    TokenizeCase{"a;b ;x", "Ident(\"a;b\") Ident(\";x\") Eof"}));

struct ErrorCase {
  std::string text;
  std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* out) { *out << c.text; }

class TokenizeError : public testing::TestWithParam<ErrorCase> {};

TEST_P(TokenizeError, RejectsReferenceWithEmptySide) {
  try {
    tokenizer::tokenize(GetParam().text);
    ADD_FAILURE() << "no error for " << GetParam().text;
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    References, TokenizeError,
    testing::Values(ErrorCase{":x", "invalid dimension reference: ':x'"},
                    ErrorCase{"x:", "invalid dimension reference: 'x:'"},
                    ErrorCase{":", "invalid dimension reference: ':'"},
                    ErrorCase{"::", "invalid dimension reference: '::'"},
                    ErrorCase{"x:,", "invalid dimension reference: 'x:'"},
                    ErrorCase{"x:;", "invalid dimension reference: 'x:'"},
                    ErrorCase{"a:1 b: c:", "invalid dimension reference: 'b:'"}));

struct RenderCase {
  std::string text;
  std::string quoted;  // the inside of the quotes
};

void PrintTo(const RenderCase& c, std::ostream* out) { *out << c.text; }

class RenderIdent : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderIdent, QuotesAndEscapes) {
  EXPECT_EQ(debug_string(Token{Token::Ident{GetParam().text}}),
            "Ident(\"" + GetParam().quoted + "\")");
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, RenderIdent,
    testing::Values(RenderCase{"plain text", "plain text"},
                    RenderCase{"say \"hi\"", "say \\\"hi\\\""}, RenderCase{"a\\b", "a\\\\b"},
                    RenderCase{std::string("a\0b", 3), "a\\0b"},
                    RenderCase{"\t\n\r\x1B\x7F", "\\u{9}\\u{a}\\u{d}\\u{1b}\\u{7f}"},
                    RenderCase{"'", "'"}));

INSTANTIATE_TEST_SUITE_P(
    Invisible, RenderIdent,
    testing::Values(RenderCase{"\xC2\x85", "\\u{85}"},            // Cc
                    RenderCase{"\xC2\xA0\xE3\x80\x80", "\\u{a0}\\u{3000}"},  // Zs
                    RenderCase{"\xE2\x80\xA8\xE2\x80\xA9", "\\u{2028}\\u{2029}"},  // Zl, Zp
                    RenderCase{"\xE2\x80\x8B\xEF\xBB\xBF", "\\u{200b}\\u{feff}"},  // Cf
                    RenderCase{"\xEE\x80\x80", "\\u{e000}"},                       // Co
                    RenderCase{"\xCD\xB8\xF4\x8F\xBF\xBF", "\\u{378}\\u{10ffff}"}));  // Cn

INSTANTIATE_TEST_SUITE_P(
    Combining, RenderIdent,
    testing::Values(RenderCase{"e\xCC\x81", "e\\u{301}"},  // combining acute accent
                    RenderCase{"\xE2\x80\x8D", "\\u{200d}"},  // zero width joiner
                    // A modifier letter that still extends a grapheme.
                    RenderCase{"\xEF\xBE\x9E", "\\u{ff9e}"},
                    // A spacing mark that does not extend a grapheme stays.
                    RenderCase{"\xE0\xA4\x83", "\xE0\xA4\x83"}));

INSTANTIATE_TEST_SUITE_P(
    Visible, RenderIdent,
    testing::Values(RenderCase{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
                    RenderCase{"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},
                    RenderCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                    RenderCase{"\xEF\xBF\xBD", "\xEF\xBF\xBD"}));

// Malformed UTF-8 renders as U+FFFD per bad sequence, so a message stays valid UTF-8.
INSTANTIATE_TEST_SUITE_P(
    Malformed, RenderIdent,
    testing::Values(RenderCase{"a\xFF", "a\xEF\xBF\xBD"},
                    RenderCase{"\xC3", "\xEF\xBF\xBD"},
                    RenderCase{"\xED\xA0\x80x", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},
                    RenderCase{"\xE6\x97\"", "\xEF\xBF\xBD\\\""}));

TEST(RenderToken, ShowsFieldsOfNumbersAndReferences) {
  EXPECT_EQ(debug_string(Token{Token::Number{18446744073709551615u}}),
            "Number(18446744073709551615)");
  EXPECT_EQ(debug_string(Token{DimRef{"re\"g", "e\tu"}}), "DimRef(\"re\\\"g\", \"e\\u{9}u\")");
  EXPECT_EQ(debug_string(Token{DimRef{"", ""}}), "DimRef(\"\", \"\")");
  EXPECT_EQ(debug_string(Token{Token::Semicolon{}}), "Semicolon");
  EXPECT_EQ(debug_string(Token{Token::Eof{}}), "Eof");
}

TEST(TokenEquality, ComparesVariantAndFields) {
  EXPECT_EQ(Token{Token::Ident{"a"}}, Token{Token::Ident{"a"}});
  EXPECT_NE(Token{Token::Ident{"a"}}, Token{Token::Ident{"A"}});
  EXPECT_NE(Token{Token::Ident{"1"}}, Token{Token::Number{1}});
  EXPECT_NE((Token{DimRef{"a", "b:c"}}), (Token{DimRef{"a:b", "c"}}));
  EXPECT_NE(Token{Token::Comma{}}, Token{Token::Semicolon{}});
  EXPECT_EQ(Token{Token::As{}}.value.index(), 31u);
}

}  // namespace
}  // namespace quib::sql
