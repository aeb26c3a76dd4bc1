#include "sql/formatter.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "result_text.h"

namespace quib::sql {
namespace {

const std::string kRule = "\xE2\x94\x80";  // U+2500

std::string rule(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += kRule;
  return out;
}

QueryResult metric_table() { return QueryResult{{"Metric", "Value"}, {{"JSD", "0.5"}}}; }

TEST(Formatter, RendersSmallTableInAllThreeForms) {
  const QueryResult r = metric_table();
  EXPECT_EQ(r.to_csv(), "Metric,Value\nJSD,0.5\n");
  EXPECT_EQ(r.to_json(), "[\n  {\"Metric\": \"JSD\", \"Value\": \"0.5\"}\n]");
  EXPECT_EQ(r.to_table(), "Metric  Value\n" + rule(6) + "  " + rule(5) + "\nJSD     0.5  \n");
  std::ostringstream stream;
  stream << r;
  EXPECT_EQ(stream.str(), r.to_table());
}

struct CsvCase {
  std::string text;
  std::string field;
};

class CsvEscape : public testing::TestWithParam<CsvCase> {};

TEST_P(CsvEscape, QuotesOnlyWhenNeeded) {
  EXPECT_EQ(formatter::csv_escape(GetParam().text), GetParam().field);
}

INSTANTIATE_TEST_SUITE_P(Fields, CsvEscape,
                         testing::Values(CsvCase{"plain", "plain"}, CsvCase{"", ""},
                                         CsvCase{"a,b", "\"a,b\""},
                                         CsvCase{"say \"hi\"", "\"say \"\"hi\"\"\""},
                                         CsvCase{"two\nlines", "\"two\nlines\""},
                                         CsvCase{"cr\ronly", "cr\ronly"}));

struct JsonCase {
  std::string text;
  std::string escaped;
};

class JsonEscape : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonEscape, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(formatter::json_escape(GetParam().text), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonEscape,
    testing::Values(JsonCase{"a\\n", "a\\\\n"}, JsonCase{"q\"", "q\\\""},
                    JsonCase{"\n\r\t", "\\n\\r\\t"},
                    JsonCase{std::string("nul\0x", 5), "nul\\u0000x"},
                    JsonCase{"\x01\x1f\x7f", "\\u0001\\u001f\x7f"},
                    JsonCase{"caf\xC3\xA9 \xE2\x86\x92", "caf\xC3\xA9 \xE2\x86\x92"}));

TEST(Formatter, EmptyTable) {
  const QueryResult r;
  EXPECT_EQ(r.to_csv(), "\n");
  EXPECT_EQ(r.to_json(), "[\n]");
  EXPECT_EQ(r.to_table(), "");
}

TEST(Formatter, ColumnsWithoutRows) {
  const QueryResult r{{"a", "bb"}, {}};
  EXPECT_EQ(r.to_csv(), "a,bb\n");
  EXPECT_EQ(r.to_json(), "[\n]");
  EXPECT_EQ(r.to_table(), "a  bb\n" + rule(1) + "  " + rule(2) + "\n");
}

TEST(Formatter, RowsWithoutColumnsShowNoTable) {
  const QueryResult r{{}, {{"x"}}};
  EXPECT_EQ(r.to_table(), "");
  EXPECT_EQ(r.to_csv(), "\nx\n");
  EXPECT_EQ(r.to_json(), "[\n  {\"\": \"x\"}\n]");
}

TEST(Formatter, RaggedRows) {
  const QueryResult r{{"k", "v"}, {{"1", "2", "extra"}, {"only"}, {}}};
  EXPECT_EQ(r.to_csv(), "k,v\n1,2,extra\nonly\n\n");
  EXPECT_EQ(r.to_json(),
            "[\n  {\"k\": \"1\", \"v\": \"2\", \"\": \"extra\"},\n  {\"k\": \"only\"},\n  {}\n]");
  // Extra cells are dropped and do not widen anything; short rows have fewer fields.
  EXPECT_EQ(r.to_table(),
            "k     v\n" + rule(4) + "  " + rule(1) + "\n1     2\nonly\n\n");
}

TEST(Formatter, DuplicateTitlesGiveDuplicateJsonKeys) {
  const QueryResult r{{"x", "x"}, {{"1", "2"}}};
  EXPECT_EQ(r.to_json(), "[\n  {\"x\": \"1\", \"x\": \"2\"}\n]");
}

TEST(Formatter, WidthsCountBytesWhilePaddingCountsCharacters) {
  const QueryResult r{{"Category/Bin", "d"}, {{"short", "\xE2\x86\x92"}}};
  const std::string table = r.to_table();
  EXPECT_EQ(table, "Category/Bin  d  \n" + rule(12) + "  " + rule(3) + "\nshort         \xE2\x86\x92  \n");
}

TEST(Formatter, JsonEscapesKeysAndCells) {
  const QueryResult r{{"a\"b"}, {{"line\x02"}}};
  EXPECT_EQ(r.to_json(), "[\n  {\"a\\\"b\": \"line\\u0002\"}\n]");
}

TEST(Formatter, VeryWideColumnRendersWithoutFailing) {
  const std::string wide(70000, 'w');
  const QueryResult r{{"c"}, {{wide}}};
  const std::string table = r.to_table();
  EXPECT_EQ(table.size(), 70000 + 1 + 70000 * 3 + 1 + 70000 + 1);
}

}  // namespace
}  // namespace quib::sql
