// The parser of the query language: a token list becomes exactly one `Statement`.
//
// The language is keyword-led: the first token picks the statement, each statement has a fixed
// shape with a few optional clauses, and a text holds one statement only: a word after it (a
// misspelt clause word, say) is an error rather than an answer to another question. A failure
// throws `quib::Error` whose message names what was expected and shows the offending token in
// its debug rendering; no partial statement is ever returned. EXPORT nests a whole
// statement, EXPORT included; the nesting is capped so that hostile text cannot exhaust the stack
// here or in the code that walks the statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sql/tokenizer.h"

namespace quib::sql {

enum class ExportFormat : std::uint8_t { Csv, Json };

// One parsed statement; the alternative order is fixed. A where list holds the WHERE clause's
// references in the order written, empty without the clause. The statement owns all its texts.
struct Statement {
  struct CompareBetween {
    std::string variable;
    DimRef a;
    DimRef b;
    std::vector<DimRef> where_clause;
    bool operator==(const CompareBetween&) const = default;
  };
  struct CompareAcross {
    std::string variable;
    std::string dimension;
    std::vector<DimRef> where_clause;
    bool operator==(const CompareAcross&) const = default;
  };
  struct Explain {
    DimRef a;
    DimRef b;
    bool operator==(const Explain&) const = default;
  };
  struct Track {
    std::string variable;
    DimRef from;
    std::optional<std::string> granularity;
    bool operator==(const Track&) const = default;
  };
  struct Show {
    std::string variable;
    DimRef at;
    std::vector<DimRef> where_clause;
    std::optional<std::uint64_t> top;
    std::optional<std::uint64_t> bottom;  // never set together with `top`
    bool operator==(const Show&) const = default;
  };
  struct Rank {
    std::string variable;
    std::string dimension;
    std::vector<DimRef> where_clause;
    bool operator==(const Rank&) const = default;
  };
  struct Mi {
    std::string a;
    std::string b;
    DimRef at;
    bool operator==(const Mi&) const = default;
  };
  struct Cmi {
    std::string x;
    std::string y;
    std::string given;
    bool operator==(const Cmi&) const = default;
  };
  struct Correlations {
    std::optional<std::string> over;
    std::uint64_t limit = 20;
    bool operator==(const Correlations&) const = default;
  };
  struct Pairwise {
    std::string dimension;
    std::string variable;
    std::string metric = "jsd";  // as written; the executor interprets it
    bool operator==(const Pairwise&) const = default;
  };
  struct Nearest {
    DimRef target;
    std::string dimension;
    std::string metric = "jsd";
    std::uint64_t limit = 3;
    bool operator==(const Nearest&) const = default;
  };
  // Owns its inner statement; copies are deep.
  struct Export {
    std::unique_ptr<Statement> inner;  // never null
    ExportFormat format = ExportFormat::Csv;

    Export(Statement inner_statement, ExportFormat export_format);
    Export(const Export& other);
    Export(Export&& other) noexcept;
    Export& operator=(const Export& other);
    Export& operator=(Export&& other) noexcept;
    ~Export();
    bool operator==(const Export& other) const;
  };
  struct Stats {
    bool operator==(const Stats&) const = default;
  };
  struct Schema {
    bool operator==(const Schema&) const = default;
  };
  struct Dimensions {
    std::optional<std::string> name;
    bool operator==(const Dimensions&) const = default;
  };

  std::variant<CompareBetween, CompareAcross, Explain, Track, Show, Rank, Mi, Cmi, Correlations,
               Pairwise, Nearest, Export, Stats, Schema, Dimensions>
      value;

  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value);
  }
  bool operator==(const Statement&) const = default;
};

// Reads one statement from a token list. Reading at or past the end yields `Eof`.
struct Parser {
  // How many EXPORTs may enclose one another.
  static constexpr std::size_t kMaxExportDepth = 64;

  std::vector<Token> tokens;
  std::size_t pos = 0;

  explicit Parser(std::vector<Token> token_list) : tokens(std::move(token_list)) {}

  // One statement starting at `pos`.
  Statement parse();

  // Each reads the next token and moves past it, whatever it is.
  std::string expect_ident();
  void expect_token(const Token& expected);
  DimRef expect_dim_ref();

  // WHERE dimref { AND dimref }, or the empty list (consuming nothing) without WHERE.
  std::vector<DimRef> parse_where_clause();

  // Fails with "expected end of statement, got {}" unless every token is read.
  void expect_end() const;

 private:
  const Token& peek() const;
  const Token& next();
  template <typename T>
  bool take_if();
  std::uint64_t expect_number_after(std::string_view keyword);

  Statement parse_compare();
  Statement parse_explain();
  Statement parse_track();
  Statement parse_show();
  Statement parse_rank();
  Statement parse_mi();
  Statement parse_cmi();
  Statement parse_correlations();
  Statement parse_pairwise();
  Statement parse_nearest();
  Statement parse_export();
  Statement parse_dimensions();

  std::size_t export_depth_ = 0;
};

namespace parser {

// Tokenizes and parses one statement, which must end the text. Tokenizer and parser failures
// throw `quib::Error` with their plain message.
Statement parse(std::string_view text);

}  // namespace parser
}  // namespace quib::sql
