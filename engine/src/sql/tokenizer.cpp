#include "sql/tokenizer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <type_traits>
#include <utility>

#include "core/ascii_text.h"
#include "core/error.h"
#include "core/number_text.h"
#include "core/unicode_text.h"

namespace quib::sql {
namespace {

using Variant = decltype(Token::value);

// Names in variant order; a keyword's text is its name in upper case.
constexpr std::array<std::string_view, std::variant_size_v<Variant>> kTokenNames = {
    "Compare", "Between", "And", "Explain", "Vs", "Track", "From", "Granularity", "Show", "At",
    "Rank", "By", "Over", "Mi", "Cmi", "Given", "Correlations", "Limit", "Pairwise", "On", "Using",
    "Nearest", "Stats", "Schema", "Dimensions", "Entropy", "Where", "Top", "Bottom", "Across",
    "Export", "As", "Csv", "Json", "Ident", "DimRef", "Number", "Comma", "Semicolon", "Eof"};

// Every field-less variant must sit at the index its type names.
template <std::size_t... I>
constexpr bool bare_variants_in_place(std::index_sequence<I...>) {
  return (... && (std::is_same_v<std::variant_alternative_t<I, Variant>, token::Bare<I>> ||
                  (I >= Token::kKeywordCount && I < Token::kKeywordCount + 3)));
}
static_assert(bare_variants_in_place(std::make_index_sequence<std::variant_size_v<Variant>>{}));
static_assert(
    std::is_same_v<std::variant_alternative_t<Token::kKeywordCount, Variant>, Token::Ident>);

template <std::size_t... I>
std::array<Token, sizeof...(I)> make_keywords(std::index_sequence<I...>) {
  return {Token{Variant(std::in_place_index<I>)}...};
}

const std::array<Token, Token::kKeywordCount>& keyword_tokens() {
  static const auto tokens = make_keywords(std::make_index_sequence<Token::kKeywordCount>{});
  return tokens;
}

// One code point of `text` starting at `pos`, negative for a malformed sequence; `pos` moves past
// what was read (at least one byte). The offsets handed to ICU stay tiny whatever the text's size.
UChar32 next_code_point(std::string_view text, std::size_t& pos) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data() + pos);
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - pos, 4));
  std::int32_t read = 0;
  UChar32 c = 0;
  U8_NEXT(bytes, read, length, c);
  pos += static_cast<std::size_t>(read);
  return c;
}

// The words between runs of Unicode whitespace, with the ';'s that end the text removed.
std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  std::size_t word_start = std::string_view::npos;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const UChar32 c = next_code_point(text, pos);
    const bool space = c >= 0 && core::is_unicode_white_space(static_cast<char32_t>(c));
    if (space && word_start != std::string_view::npos) {
      words.push_back(text.substr(word_start, start - word_start));
      word_start = std::string_view::npos;
    } else if (!space && word_start == std::string_view::npos) {
      word_start = start;
    }
  }
  if (word_start != std::string_view::npos) words.push_back(text.substr(word_start));

  // Only the end of the whole text loses its ';'s; a last word of ';'s alone disappears, and the
  // whitespace it uncovers is not trimmed again.
  if (!words.empty()) {
    std::string_view& last = words.back();
    last = last.substr(0, last.find_last_not_of(';') + 1);
    if (last.empty()) words.pop_back();
  }
  return words;
}

// A decimal u64: an optional '+' and at least one digit, leading zeros allowed.
bool parse_number(std::string_view word, std::uint64_t& value) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty() || word.front() < '0' || word.front() > '9') return false;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  return ec == std::errc() && end == word.data() + word.size();
}

Token word_token(std::string_view word) {
  for (std::size_t i = 0; i < Token::kKeywordCount; ++i) {
    if (core::equals_ignoring_ascii_case(word, kTokenNames[i])) return keyword_tokens()[i];
  }
  if (const std::size_t colon = word.find(':'); colon != std::string_view::npos) {
    if (colon == 0 || colon + 1 == word.size()) {
      throw Error("invalid dimension reference: '" + std::string(word) + "'");
    }
    return Token{DimRef{std::string(word.substr(0, colon)), std::string(word.substr(colon + 1))}};
  }
  if (std::uint64_t number = 0; parse_number(word, number)) return Token{Token::Number{number}};
  return Token{Token::Ident{std::string(word)}};
}

bool needs_escape(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
  switch (u_charType(c)) {
    case U_SPACE_SEPARATOR:
      return c != 0x20;
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
      return true;
    default:
      return false;
  }
}

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    const UChar32 c = next_code_point(text, pos);
    if (c < 0) {
      out.append("\xEF\xBF\xBD");  // U+FFFD keeps the message valid UTF-8
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == 0) {
      out.append("\\0");
    } else if (needs_escape(c)) {
      out.append("\\u{");
      int shift = 20;
      while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
      for (; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
      out.push_back('}');
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  out.push_back('"');
}

}  // namespace

std::string debug_string(const Token& token) {
  std::string out(kTokenNames[token.value.index()]);
  if (const auto* ident = token.get_if<Token::Ident>()) {
    out.push_back('(');
    append_quoted(out, ident->text);
    out.push_back(')');
  } else if (const auto* number = token.get_if<Token::Number>()) {
    out.push_back('(');
    core::number_text::append_plain(out, number->value);
    out.push_back(')');
  } else if (const auto* ref = token.get_if<Token::DimRef>()) {
    out.push_back('(');
    append_quoted(out, ref->dimension);
    out.append(", ");
    append_quoted(out, ref->value);
    out.push_back(')');
  }
  return out;
}

namespace tokenizer {

std::vector<Token> tokenize(std::string_view text) {
  const std::vector<std::string_view> words = split_words(text);
  std::vector<Token> tokens;
  tokens.reserve(words.size() + 1);
  for (std::string_view word : words) {
    if (word == ",") {
      tokens.push_back(Token{Token::Comma{}});
      continue;
    }
    const bool trailing_comma = word.back() == ',';
    if (trailing_comma) word.remove_suffix(1);
    tokens.push_back(word_token(word));
    if (trailing_comma) tokens.push_back(Token{Token::Comma{}});
  }
  tokens.push_back(Token{Token::Eof{}});
  return tokens;
}

}  // namespace tokenizer
}  // namespace quib::sql
