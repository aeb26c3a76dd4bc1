#include "sql/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace quib::sql {
namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

// The token list as its renderings joined by blanks: a readable, exact picture of every field.
std::string rendered(std::string_view text) {
  std::string out;
  try {
    for (const Token& token : tokenizer::tokenize(text)) {
      if (!out.empty()) out.push_back(' ');
      out += debug_string(token);
    }
  } catch (const Error& error) {
    return "error: " + error.full();
  }
  return out;
}

TEST(Tokenize, ProducesTokens) {
  const Cases cases = {
      // Blanks. U+3000 and U+00A0 are whitespace; U+200B is not.
      {"", "Eof"},
      {"  \t\n ", "Eof"},
      {";;;", "Eof"},
      {"\xE3\x80\x80STATS\xC2\xA0", "Stats Eof"},
      {"a\xE2\x80\x83\xC2\x85\x0B b", "Ident(\"a\") Ident(\"b\") Eof"},
      {"a\xE2\x80\x8B b", "Ident(\"a\\u{200b}\") Ident(\"b\") Eof"},
      // Keywords, in any case but only as whole words.
      {"compare between and explain vs track from granularity show at rank by over mi cmi given "
       "correlations limit pairwise on using nearest stats schema dimensions entropy where top "
       "bottom across export as csv json",
       "Compare Between And Explain Vs Track From Granularity Show At Rank By Over Mi Cmi Given "
       "Correlations Limit Pairwise On Using Nearest Stats Schema Dimensions Entropy Where Top "
       "Bottom Across Export As Csv Json Eof"},
      {"CoMpArE COMPARE", "Compare Compare Eof"},
      {"comparex compar", "Ident(\"comparex\") Ident(\"compar\") Eof"},
      // Full Unicode upper-casing would turn these into STATS and LIMIT.
      {"\xC5\xBFtats l\xC4\xB1mit", "Ident(\"\xC5\xBFtats\") Ident(\"l\xC4\xB1mit\") Eof"},
      {"from:x", "DimRef(\"from\", \"x\") Eof"},
      // References; malformed UTF-8 is an ordinary part of a word.
      {"Region:EU", "DimRef(\"Region\", \"EU\") Eof"},
      {"a:b:c", "DimRef(\"a\", \"b:c\") Eof"},
      {"a::", "DimRef(\"a\", \":\") Eof"},
      {"time:2024-01,", "DimRef(\"time\", \"2024-01\") Comma Eof"},
      {"\xFF:x", "DimRef(\"\xEF\xBF\xBD\", \"x\") Eof"},
      // Numbers
      {"+7 007 0", "Number(7) Number(7) Number(0) Eof"},
      {"18446744073709551615", "Number(18446744073709551615) Eof"},
      {"018446744073709551615", "Number(18446744073709551615) Eof"},
      {"18446744073709551616", "Ident(\"18446744073709551616\") Eof"},
      {"99999999999999999999999", "Ident(\"99999999999999999999999\") Eof"},
      {"-5 1.5 0x10 7e3", "Ident(\"-5\") Ident(\"1.5\") Ident(\"0x10\") Ident(\"7e3\") Eof"},
      {"+ - ++7 +-7 -0",
       "Ident(\"+\") Ident(\"-\") Ident(\"++7\") Ident(\"+-7\") Ident(\"-0\") Eof"},
      // Commas
      {"5,", "Number(5) Comma Eof"},
      {",", "Comma Eof"},
      {",,", "Ident(\",\") Comma Eof"},
      {"a,b", "Ident(\"a,b\") Eof"},
      {"a ,b", "Ident(\"a\") Ident(\",b\") Eof"},
      {"mi, x,, y", "Mi Comma Ident(\"x,\") Comma Ident(\"y\") Eof"},
      // Semicolons
      {"STATS;;", "Stats Eof"},
      {"STATS ; ;", "Stats Ident(\";\") Eof"},
      {"STATS; ;", "Ident(\"STATS;\") Eof"},
      {"STATS;\t", "Stats Eof"},
      {"STATS;,", "Ident(\"STATS;\") Comma Eof"},
      {"a;b ;x", "Ident(\"a;b\") Ident(\";x\") Eof"},
      // A reference with an empty side is refused.
      {":x", "error: invalid dimension reference: ':x'"},
      {"x:", "error: invalid dimension reference: 'x:'"},
      {":", "error: invalid dimension reference: ':'"},
      {"::", "error: invalid dimension reference: '::'"},
      {"x:,", "error: invalid dimension reference: 'x:'"},
      {"x:;", "error: invalid dimension reference: 'x:'"},
      {"a:1 b: c:", "error: invalid dimension reference: 'b:'"},
  };
  for (const auto& [text, tokens] : cases) EXPECT_EQ(rendered(text), tokens) << text;
}

TEST(RenderIdent, QuotesAndEscapes) {
  const Cases cases = {
      {"plain text", "plain text"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"a\\b", "a\\\\b"},
      {std::string("a\0b", 3), "a\\0b"},
      {"\t\n\r\x1B\x7F", "\\u{9}\\u{a}\\u{d}\\u{1b}\\u{7f}"},
      {"'", "'"},
      // Invisible: Cc, Zs, Zl and Zp, Cf, Co, Cn.
      {"\xC2\x85", "\\u{85}"},
      {"\xC2\xA0\xE3\x80\x80", "\\u{a0}\\u{3000}"},
      {"\xE2\x80\xA8\xE2\x80\xA9", "\\u{2028}\\u{2029}"},
      {"\xE2\x80\x8B\xEF\xBB\xBF", "\\u{200b}\\u{feff}"},
      {"\xEE\x80\x80", "\\u{e000}"},
      {"\xCD\xB8\xF4\x8F\xBF\xBF", "\\u{378}\\u{10ffff}"},
      // Combining: an acute accent, a zero width joiner, a modifier letter that still extends a
      // grapheme; a spacing mark that does not extend one stays.
      {"e\xCC\x81", "e\\u{301}"},
      {"\xE2\x80\x8D", "\\u{200d}"},
      {"\xEF\xBE\x9E", "\\u{ff9e}"},
      {"\xE0\xA4\x83", "\xE0\xA4\x83"},
      // Visible
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},
      // Malformed UTF-8 renders as U+FFFD per bad sequence, so a message stays valid UTF-8.
      {"a\xFF", "a\xEF\xBF\xBD"},
      {"\xC3", "\xEF\xBF\xBD"},
      {"\xED\xA0\x80x", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},
      {"\xE6\x97\"", "\xEF\xBF\xBD\\\""},
  };
  for (const auto& [text, quoted] : cases) {
    EXPECT_EQ(debug_string(Token{Token::Ident{text}}), "Ident(\"" + quoted + "\")") << text;
  }
}

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
