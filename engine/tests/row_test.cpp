// The compact row form: cells against the JSON values they stand for, tables that keep their
// cells, and CSV tables that split a record again each time its row is asked for.
#include "core/json_writer.h"
#include "ingest/row.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/json.h"
#include "ingest/csv_reader.h"
#include "row_building.h"

namespace quib::ingest {
namespace {

using core::json::Value;

class CellRoundTrip : public testing::TestWithParam<Value> {};

TEST_P(CellRoundTrip, WritesTheTextOfTheJsonWriterAndGivesTheValueBack) {
  const Value& value = GetParam();
  const Cell cell = Cell::borrow(value);
  std::string text;
  cell.write_json(text);
  EXPECT_EQ(text, core::json::to_string(value));
  EXPECT_EQ(cell.to_json(), value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CellRoundTrip,
    testing::Values(Value(), Value(true), Value(false), Value(std::uint64_t{0}),
                    Value(std::numeric_limits<std::uint64_t>::max()),
                    Value(std::numeric_limits<std::int64_t>::min()), Value(std::int64_t{-7}),
                    Value(0.1), Value(2.0), Value(-0.0), Value(1e300), Value(5e-324), Value(1e5),
                    Value(-1e-7), Value(std::numeric_limits<double>::infinity()), Value(""),
                    Value("plain"), Value("q\"\\\n\t\x01\x1f é \xE2\x80\xA8"),
                    Value(core::json::Array{Value(std::uint64_t{1}), Value("x"), Value()}),
                    Value(core::json::Object{{"b", Value(1.5)}, {"a", Value(core::json::Array{})}})));

TEST(CellLayout, IsSixteenBytesAndKeepsLongTextLengths) {
  static_assert(sizeof(Cell) == 16);
  const std::string long_text(100000, 'x');
  const Cell cell = Cell::text(long_text);
  EXPECT_EQ(cell.kind(), Cell::Kind::Text);
  EXPECT_EQ(cell.as_text().size(), long_text.size());
  EXPECT_EQ(Cell().kind(), Cell::Kind::Null);
}

std::vector<std::string> names_in_row(const RowTable& table, std::size_t index) {
  RowScratch scratch;
  std::vector<std::string> names;
  for (const Field& field : table.row(index, scratch).fields) {
    names.push_back(table.column_name(field.column));
  }
  return names;
}

TEST(TableRows, PutKeepsNameOrderAndALaterValueReplacesAnEarlierOne) {
  RowTable table;
  const std::uint32_t zeta = table.intern("zeta");
  const std::uint32_t alpha = table.intern("alpha");
  table.put(zeta, Cell::unsigned_integer(1));
  table.put(alpha, Cell::boolean(true));
  table.put(zeta, Cell::text(table.keep_text("again")));
  table.end_row();
  table.end_row();  // an empty row
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(names_in_row(table, 0), (std::vector<std::string>{"alpha", "zeta"}));
  EXPECT_EQ(row_object(table, 0),
            (core::json::Object{{"alpha", Value(true)}, {"zeta", Value("again")}}));
  EXPECT_TRUE(row_object(table, 1).empty());
  EXPECT_FALSE(table.every_row_full_text());
}

TEST(TableRows, KeptTextsStayIntactAcrossManyBlocks) {
  RowTable table;
  const std::uint32_t column = table.intern("t");
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) {
    // Sizes that straddle block ends, an empty text and one longer than a whole block.
    texts.push_back(i == 7 ? std::string() : std::string(static_cast<std::size_t>(i * 37 % 301), 'a' + static_cast<char>(i % 26)));
  }
  texts.push_back(std::string(200000, 'z'));
  for (const std::string& text : texts) {
    table.put(column, Cell::text(table.keep_text(text)));
    table.end_row();
  }
  RowScratch scratch;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(table.row(i, scratch).find(column)->as_text(), texts[i]) << "row " << i;
  }
}

TEST(TableRows, AddRowKeepsNestedValuesAndTexts) {
  RowTable table;
  {
    const std::vector<std::pair<std::string, Value>> fields = {
        {"n", Value(core::json::Object{{"k", Value("v")}})}, {"t", Value("text")}, {"n", Value(core::json::Array{Value(std::int64_t{-1})})}};
    add_row(table, fields);
  }  // the values handed in are gone; the table keeps its own copies
  EXPECT_EQ(row_object(table, 0),
            (core::json::Object{{"n", Value(core::json::Array{Value(std::int64_t{-1})})},
                                {"t", Value("text")}}));
}

TEST(CsvRows, SplitAgainOnRequestGiveTheSameFieldsWhateverTheOrderOfAsking) {
  const RowTable table =
      csv_reader::parse_csv("b,a,b\n\"x\"\"y\",\"1,2\"tail,last\nplain,\"\",\"multi\nline\"\n");
  ASSERT_EQ(table.size(), 2u);
  EXPECT_TRUE(table.every_row_full_text());
  RowScratch scratch;
  const auto a = *table.find_column("a");
  const auto b = *table.find_column("b");
  // One scratch serves every row; the views of the row asked last are the valid ones.
  for (std::size_t round = 0; round < 2; ++round) {
    const Row second = table.row(1, scratch);
    EXPECT_EQ(second.find(a)->as_text(), "");
    EXPECT_EQ(second.find(b)->as_text(), "multi\nline");
    const Row first = table.row(0, scratch);
    EXPECT_EQ(first.find(a)->as_text(), "1,2tail");
    EXPECT_EQ(first.find(b)->as_text(), "last");  // the later column of a repeated name
    EXPECT_EQ(first.fields.size(), 2u);
  }
  EXPECT_EQ(names_in_row(table, 0), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace quib::ingest
