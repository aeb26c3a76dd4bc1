#include "sql/parser.h"

#include <utility>

#include "core/error.h"
#include "core/number_text.h"

namespace quib::sql {

Statement::Export::Export(Statement inner_statement, ExportFormat export_format)
    : inner(std::make_unique<Statement>(std::move(inner_statement))), format(export_format) {}

Statement::Export::Export(const Export& other)
    : inner(std::make_unique<Statement>(*other.inner)), format(other.format) {}

Statement::Export::Export(Export&& other) noexcept = default;

Statement::Export& Statement::Export::operator=(const Export& other) {
  if (this != &other) *this = Export(other);
  return *this;
}

Statement::Export& Statement::Export::operator=(Export&& other) noexcept = default;

Statement::Export::~Export() = default;

bool Statement::Export::operator==(const Export& other) const {
  return format == other.format && *inner == *other.inner;
}

namespace {

Error expected_got(std::string_view expected, const Token& got) {
  return Error("expected " + std::string(expected) + ", got " + debug_string(got));
}

}  // namespace

const Token& Parser::peek() const {
  static const Token kEof{Token::Eof{}};
  return pos < tokens.size() ? tokens[pos] : kEof;
}

const Token& Parser::next() {
  const Token& token = peek();
  ++pos;
  return token;
}

template <typename T>
bool Parser::take_if() {
  if (!peek().is<T>()) return false;
  ++pos;
  return true;
}

std::string Parser::expect_ident() {
  const Token& token = next();
  if (const auto* ident = token.get_if<Token::Ident>()) return ident->text;
  throw expected_got("identifier", token);
}

void Parser::expect_token(const Token& expected) {
  const Token& token = next();
  if (!(token == expected)) throw expected_got(debug_string(expected), token);
}

DimRef Parser::expect_dim_ref() {
  const Token& token = next();
  if (const auto* ref = token.get_if<Token::DimRef>()) return *ref;
  throw expected_got("dimension:value", token);
}

std::vector<DimRef> Parser::parse_where_clause() {
  std::vector<DimRef> refs;
  if (!take_if<Token::Where>()) return refs;
  refs.push_back(expect_dim_ref());
  while (take_if<Token::And>()) refs.push_back(expect_dim_ref());
  return refs;
}

void Parser::expect_end() const {
  if (!peek().is<Token::Eof>()) throw expected_got("end of statement", peek());
}

std::uint64_t Parser::expect_number_after(std::string_view keyword) {
  if (const auto* number = peek().get_if<Token::Number>()) {
    ++pos;
    return number->value;
  }
  throw Error("expected number after " + std::string(keyword));
}

Statement Parser::parse() {
  const Token& first = next();
  if (first.is<Token::Compare>()) return parse_compare();
  if (first.is<Token::Explain>()) return parse_explain();
  if (first.is<Token::Track>()) return parse_track();
  if (first.is<Token::Show>()) return parse_show();
  if (first.is<Token::Rank>()) return parse_rank();
  if (first.is<Token::Mi>()) return parse_mi();
  if (first.is<Token::Cmi>()) return parse_cmi();
  if (first.is<Token::Correlations>()) return parse_correlations();
  if (first.is<Token::Pairwise>()) return parse_pairwise();
  if (first.is<Token::Nearest>()) return parse_nearest();
  if (first.is<Token::Export>()) return parse_export();
  if (first.is<Token::Stats>()) return Statement{Statement::Stats{}};
  if (first.is<Token::Schema>()) return Statement{Statement::Schema{}};
  if (first.is<Token::Dimensions>()) return parse_dimensions();
  if (first.is<Token::Eof>()) throw Error("empty query");
  throw Error("unexpected token " + debug_string(first) +
              "; expected COMPARE, EXPLAIN, TRACK, SHOW, RANK, MI, CMI, CORRELATIONS, PAIRWISE, "
              "NEAREST, EXPORT, STATS, SCHEMA, or DIMENSIONS");
}

Statement Parser::parse_compare() {
  std::string variable = expect_ident();
  if (take_if<Token::Between>()) {
    DimRef a = expect_dim_ref();
    expect_token(Token{Token::And{}});
    DimRef b = expect_dim_ref();
    return Statement{Statement::CompareBetween{std::move(variable), std::move(a), std::move(b),
                                               parse_where_clause()}};
  }
  if (take_if<Token::Across>()) {
    std::string dimension = expect_ident();
    return Statement{Statement::CompareAcross{std::move(variable), std::move(dimension),
                                              parse_where_clause()}};
  }
  throw expected_got("BETWEEN or ACROSS after variable", peek());
}

Statement Parser::parse_explain() {
  DimRef a = expect_dim_ref();
  expect_token(Token{Token::Vs{}});
  return Statement{Statement::Explain{std::move(a), expect_dim_ref()}};
}

Statement Parser::parse_track() {
  Statement::Track track;
  track.variable = expect_ident();
  expect_token(Token{Token::From{}});
  track.from = expect_dim_ref();
  if (take_if<Token::Granularity>()) track.granularity = expect_ident();
  return Statement{std::move(track)};
}

Statement Parser::parse_show() {
  Statement::Show show;
  show.variable = expect_ident();
  expect_token(Token{Token::At{}});
  show.at = expect_dim_ref();
  show.where_clause = parse_where_clause();
  if (take_if<Token::Top>()) {
    show.top = expect_number_after("TOP");
  } else if (take_if<Token::Bottom>()) {
    show.bottom = expect_number_after("BOTTOM");
  }
  return Statement{std::move(show)};
}

Statement Parser::parse_rank() {
  std::string variable = expect_ident();
  expect_token(Token{Token::By{}});
  expect_token(Token{Token::Entropy{}});
  expect_token(Token{Token::Over{}});
  std::string dimension = expect_ident();
  return Statement{
      Statement::Rank{std::move(variable), std::move(dimension), parse_where_clause()}};
}

Statement Parser::parse_mi() {
  std::string a = expect_ident();
  take_if<Token::Comma>();
  std::string b = expect_ident();
  expect_token(Token{Token::At{}});
  return Statement{Statement::Mi{std::move(a), std::move(b), expect_dim_ref()}};
}

Statement Parser::parse_cmi() {
  std::string x = expect_ident();
  take_if<Token::Comma>();
  std::string y = expect_ident();
  expect_token(Token{Token::Given{}});
  return Statement{Statement::Cmi{std::move(x), std::move(y), expect_ident()}};
}

Statement Parser::parse_correlations() {
  Statement::Correlations correlations;
  while (true) {
    if (take_if<Token::Limit>()) {
      correlations.limit = expect_number_after("LIMIT");
    } else if (take_if<Token::Over>()) {
      correlations.over = expect_ident();
    } else {
      return Statement{std::move(correlations)};
    }
  }
}

Statement Parser::parse_pairwise() {
  Statement::Pairwise pairwise;
  pairwise.dimension = expect_ident();
  expect_token(Token{Token::On{}});
  pairwise.variable = expect_ident();
  if (take_if<Token::Using>()) pairwise.metric = expect_ident();
  return Statement{std::move(pairwise)};
}

Statement Parser::parse_nearest() {
  Statement::Nearest nearest;
  nearest.target = expect_dim_ref();
  expect_token(Token{Token::On{}});
  nearest.dimension = expect_ident();
  while (true) {
    if (take_if<Token::Limit>()) {
      nearest.limit = expect_number_after("LIMIT");
    } else if (take_if<Token::Using>()) {
      nearest.metric = expect_ident();
    } else {
      return Statement{std::move(nearest)};
    }
  }
}

Statement Parser::parse_export() {
  if (export_depth_ == kMaxExportDepth) {
    std::string message = "EXPORT statements nested more than ";
    core::number_text::append_plain(message, kMaxExportDepth);
    throw Error(message + " deep");
  }
  ++export_depth_;
  Statement inner = parse();
  --export_depth_;
  expect_token(Token{Token::As{}});
  const Token& format = peek();
  if (!format.is<Token::Csv>() && !format.is<Token::Json>()) {
    throw expected_got("CSV or JSON after AS", format);
  }
  ++pos;
  return Statement{Statement::Export{std::move(inner), format.is<Token::Csv>()
                                                           ? ExportFormat::Csv
                                                           : ExportFormat::Json}};
}

Statement Parser::parse_dimensions() {
  Statement::Dimensions dimensions;
  if (const auto* ident = peek().get_if<Token::Ident>()) {
    dimensions.name = ident->text;
    ++pos;
  }
  return Statement{std::move(dimensions)};
}

namespace parser {

Statement parse(std::string_view text) {
  Parser parser(tokenizer::tokenize(text));
  Statement statement = parser.parse();
  parser.expect_end();
  return statement;
}

}  // namespace parser
}  // namespace quib::sql
