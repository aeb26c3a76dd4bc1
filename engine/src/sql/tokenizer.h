// The tokenizer of the query language: one statement's text becomes a flat list of tokens.
//
// Words are split at Unicode whitespace. A word is a keyword when its ASCII-upper-cased form
// equals the keyword's text (full Unicode upper-casing never applies: "ſtats" is no keyword); a
// word with a ':' is a dimension:value reference; an optional '+' and decimal digits within the
// 64-bit range make a number; anything else is an identifier. A trailing ',' on a word becomes a
// separate `Comma`, and the ';'s that end the text are dropped. The list always ends with one
// `Eof`. The only failure, a reference with an empty side, throws `quib::Error` and returns
// nothing.
//
// `debug_string` is the rendering that the parser's messages show; it escapes quotes,
// backslashes and every invisible or combining character, so a message always shows what the
// user typed. Input that is not UTF-8 is still tokenized byte for byte; its rendering shows
// U+FFFD for each malformed sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quib::sql {

// A dimension:value reference: the text before the first ':' and the text after it, as written.
struct DimRef {
  std::string dimension;
  std::string value;
  bool operator==(const DimRef&) const = default;
};

namespace token {

// A token without fields; `Index` is its position among the token variants, which keeps the
// variants distinct types.
template <std::size_t Index>
struct Bare {
  bool operator==(const Bare&) const = default;
};

struct Ident {
  std::string text;
  bool operator==(const Ident&) const = default;
};

struct Number {
  std::uint64_t value = 0;
  bool operator==(const Number&) const = default;
};

}  // namespace token

struct Token {
  using Compare = token::Bare<0>;
  using Between = token::Bare<1>;
  using And = token::Bare<2>;
  using Explain = token::Bare<3>;
  using Vs = token::Bare<4>;
  using Track = token::Bare<5>;
  using From = token::Bare<6>;
  using Granularity = token::Bare<7>;
  using Show = token::Bare<8>;
  using At = token::Bare<9>;
  using Rank = token::Bare<10>;
  using By = token::Bare<11>;
  using Over = token::Bare<12>;
  using Mi = token::Bare<13>;
  using Cmi = token::Bare<14>;
  using Given = token::Bare<15>;
  using Correlations = token::Bare<16>;
  using Limit = token::Bare<17>;
  using Pairwise = token::Bare<18>;
  using On = token::Bare<19>;
  using Using = token::Bare<20>;
  using Nearest = token::Bare<21>;
  using Stats = token::Bare<22>;
  using Schema = token::Bare<23>;
  using Dimensions = token::Bare<24>;
  using Entropy = token::Bare<25>;
  using Where = token::Bare<26>;
  using Top = token::Bare<27>;
  using Bottom = token::Bare<28>;
  using Across = token::Bare<29>;
  using Export = token::Bare<30>;
  using As = token::Bare<31>;
  using Csv = token::Bare<32>;
  using Json = token::Bare<33>;
  using Ident = token::Ident;
  using DimRef = sql::DimRef;
  using Number = token::Number;
  using Comma = token::Bare<37>;
  using Semicolon = token::Bare<38>;  // part of the vocabulary, never produced by `tokenize`
  using Eof = token::Bare<39>;

  // The keywords are the variants before `Ident`; each one's text is its name in upper case.
  static constexpr std::size_t kKeywordCount = 34;

  std::variant<Compare, Between, And, Explain, Vs, Track, From, Granularity, Show, At, Rank, By,
               Over, Mi, Cmi, Given, Correlations, Limit, Pairwise, On, Using, Nearest, Stats,
               Schema, Dimensions, Entropy, Where, Top, Bottom, Across, Export, As, Csv, Json,
               Ident, DimRef, Number, Comma, Semicolon, Eof>
      value;

  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  bool operator==(const Token&) const = default;
};

// `Compare`, `Ident("x")`, `Number(7)`, `DimRef("region", "eu")`.
std::string debug_string(const Token& token);

namespace tokenizer {

// The tokens of one statement, ending with exactly one `Eof`; throws `quib::Error`
// "invalid dimension reference: '<word>'" for a reference with an empty side.
std::vector<Token> tokenize(std::string_view text);

}  // namespace tokenizer
}  // namespace quib::sql
