// The CSV dialect: quoting, line ends, skipped lines, the byte-order mark, and the exact error
// texts with their record, line and byte positions.
#include "ingest/csv_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/error.h"

namespace quib::ingest {
namespace {

using TextRow = std::map<std::string, std::string>;

// Rows as name -> text, checking on the way that every value is a JSON string and that the
// fields run in name order.
std::vector<TextRow> text_rows(const RowTable& table) {
  std::vector<TextRow> out;
  RowScratch scratch;
  for (std::size_t i = 0; i < table.size(); ++i) {
    TextRow text;
    const std::string* previous = nullptr;
    for (const Field& field : table.row(i, scratch).fields) {
      const std::string& name = table.columns().at(field.column);
      if (previous != nullptr) {
        EXPECT_LT(*previous, name);
      }
      previous = &name;
      EXPECT_EQ(field.value.kind(), Cell::Kind::Text) << name;
      if (field.value.kind() == Cell::Kind::Text) text[name] = field.value.as_text();
    }
    out.push_back(std::move(text));
  }
  return out;
}

std::vector<TextRow> parse(std::string_view text) {
  return text_rows(csv_reader::parse_csv(std::string(text)));
}

// The full error chain of parsing `text`, or "" when it parses.
std::string parse_error(std::string_view text) {
  try {
    csv_reader::parse_csv(std::string(text));
  } catch (const Error& error) {
    return error.full();
  }
  return "";
}

struct LineEndCase {
  const char* name;
  const char* text;
};

class CsvLineEnds : public ::testing::TestWithParam<LineEndCase> {};

TEST_P(CsvLineEnds, GiveTheSameRows) {
  const std::vector<TextRow> expected = {{{"a", "1"}, {"b", "x y"}}, {{"a", "2"}, {"b", ""}}};
  EXPECT_EQ(parse(GetParam().text), expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllForms, CsvLineEnds,
    ::testing::Values(LineEndCase{"Lf", "a,b\n1,x y\n2,\n"},
                      LineEndCase{"CrLf", "a,b\r\n1,x y\r\n2,\r\n"},
                      LineEndCase{"Cr", "a,b\r1,x y\r2,\r"},
                      LineEndCase{"NoFinalEnd", "a,b\n1,x y\n2,"},
                      LineEndCase{"BlankLinesBetween", "\n\na,b\r\n\r\n1,x y\n\n\r\r2,\n\n"},
                      LineEndCase{"ByteOrderMark", "\xEF\xBB\xBF" "a,b\n1,x y\n2,\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A table hands out plain records from where the reader found their fields to end; quoted and
// very long records are split again. Both kinds in one table, and lengths around the limit.
struct IndexCase {
  const char* name;
  std::string text;
  std::vector<TextRow> rows;
};

class CsvRecordIndex : public ::testing::TestWithParam<IndexCase> {};

TEST_P(CsvRecordIndex, GivesTheFieldsOfTheRecord) {
  EXPECT_EQ(parse(GetParam().text), GetParam().rows);
}

std::string long_field(std::size_t size) { return std::string(size, 'x'); }

INSTANTIATE_TEST_SUITE_P(
    Records, CsvRecordIndex,
    ::testing::Values(
        IndexCase{"QuotedBetweenPlain",
                  "a,b\n1,2\n\"3\",\"x\"\"y\"\n4,\n",
                  {{{"a", "1"}, {"b", "2"}}, {{"a", "3"}, {"b", "x\"y"}}, {{"a", "4"}, {"b", ""}}}},
        IndexCase{"OneColumn", "a\nx\n\n\"y\"\nz", {{{"a", "x"}}, {{"a", "y"}}, {{"a", "z"}}}},
        IndexCase{"EndJustBelowTheLimit", "a,b\n" + long_field(65533) + ",t\n",
                  {{{"a", long_field(65533)}, {"b", "t"}}}},
        IndexCase{"EndAtTheLimit", "a,b\n" + long_field(65534) + ",t\n",
                  {{{"a", long_field(65534)}, {"b", "t"}}}},
        IndexCase{"FieldPastTheLimit", "a,b\n" + long_field(70000) + ",t\nshort,1\n",
                  {{{"a", long_field(70000)}, {"b", "t"}}, {{"a", "short"}, {"b", "1"}}}},
        IndexCase{"LastEndPastTheLimit", "a,b\nt," + long_field(65535) + "\r\n",
                  {{{"a", "t"}, {"b", long_field(65535)}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CsvReader, FileWithoutRecordsYieldsNoRows) {
  for (const char* text : {"", "\n\r\n\n", "a,b\n", "a,b"}) {
    const RowTable table = csv_reader::parse_csv(text);
    EXPECT_TRUE(table.empty()) << text;
  }
}

TEST(CsvReader, QuotedFieldsKeepSeparatorsLineEndsAndDoubledQuotes) {
  const auto rows = parse("a,b\n\"x,\r\ny\"\"z\",\"\"\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("a"), "x,\r\ny\"z");
  EXPECT_EQ(rows[0].at("b"), "");

  const auto mixed = parse("a,b,c,d\n\"p\"\"q\",\"plain\",\"r\"tail,\"\"\"\"\n");
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0], (TextRow{{"a", "p\"q"}, {"b", "plain"}, {"c", "rtail"}, {"d", "\""}}));
}

TEST(CsvReader, QuotesOutsideAQuotedStartAreData) {
  const auto rows = parse("a,b,c\nx\"y, \"q\",\"ab\"c\"d\"\n");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("a"), "x\"y");
  EXPECT_EQ(rows[0].at("b"), " \"q\"");  // not trimmed, so not quoted
  EXPECT_EQ(rows[0].at("c"), "abc\"d\"");  // text after the closing quote is appended
}

TEST(CsvReader, QuotedFieldOpenAtEndOfFileEndsThere) {
  const auto rows = parse("a,b\n1,\"unfinished\nline");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("b"), "unfinished\nline");
}

TEST(CsvReader, FieldsStayTexts) {
  const RowTable table = csv_reader::parse_csv("n,flag,empty,spaced\n42,true,, 7 \n");
  ASSERT_EQ(table.size(), 1u);
  RowScratch scratch;
  for (const Field& field : table.row(0, scratch).fields) {
    EXPECT_EQ(field.value.kind(), Cell::Kind::Text) << table.column_name(field.column);
  }
  EXPECT_EQ(parse("n,flag,empty,spaced\n42,true,, 7 \n")[0],
            (TextRow{{"n", "42"}, {"flag", "true"}, {"empty", ""}, {"spaced", " 7 "}}));
}

TEST(CsvReader, RepeatedHeaderNameKeepsTheLastColumn) {
  const RowTable table = csv_reader::parse_csv("a,b,a\n1,2,3\n");
  ASSERT_EQ(table.columns().size(), 2u);
  EXPECT_EQ(text_rows(table)[0], (TextRow{{"a", "3"}, {"b", "2"}}));
  EXPECT_EQ(parse("a,a\n1,2\n")[0], (TextRow{{"a", "2"}}));
}

TEST(CsvReader, RowsLookUpByInternedName) {
  const RowTable table = csv_reader::parse_csv("zeta,alpha\n1,2\n3,4\n");
  const auto zeta = table.find_column("zeta");
  ASSERT_TRUE(zeta.has_value());
  EXPECT_FALSE(table.find_column("ZETA").has_value());
  RowScratch scratch;
  const Cell* value = table.row(1, scratch).find(*zeta);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->as_text(), "3");
}

struct ErrorCase {
  const char* name;
  std::string text;
  std::string error;
};

class CsvErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(CsvErrors, ReportTheExactText) { EXPECT_EQ(parse_error(GetParam().text), GetParam().error); }

INSTANTIATE_TEST_SUITE_P(
    Texts, CsvErrors,
    ::testing::Values(
        ErrorCase{"TooManyFields", "a,b\n1,2\n1,2,3\n",
                  "read csv record: CSV error: record 2 (line: 3, byte: 8): found record with 3 "
                  "fields, but the previous record has 2 fields"},
        ErrorCase{"TooFewFields", "a,b\n1\n",
                  "read csv record: CSV error: record 1 (line: 2, byte: 4): found record with 1 "
                  "fields, but the previous record has 2 fields"},
        ErrorCase{"PositionAfterQuotedLineEndsAndCrLf", "a,b\r\n\"x\r\ny\",2\r\n3\r\n",
                  "read csv record: CSV error: record 2 (line: 4, byte: 15): found record with 1 "
                  "fields, but the previous record has 2 fields"},
        ErrorCase{"InvalidUtf8InRecord", "a,b\n1,2\nok,x\xC3(\n",
                  "read csv record: CSV parse error: record 2 (line 3, field: 1, byte: 8): invalid "
                  "utf-8: invalid UTF-8 in field 1 near byte index 1"},
        ErrorCase{"InvalidUtf8InHeader", "a,\xFF\n1,2\n",
                  "read csv headers: CSV parse error: record 0 (line 1, field: 1, byte: 0): "
                  "invalid utf-8: invalid UTF-8 in field 1 near byte index 0"},
        ErrorCase{"Utf8SplitAcrossFieldsIsInvalid", "a,b\n\xC3,\xA9\n",
                  "read csv record: CSV parse error: record 1 (line 2, field: 0, byte: 4): invalid "
                  "utf-8: invalid UTF-8 in field 0 near byte index 0"},
        ErrorCase{"FieldCountIsCheckedBeforeUtf8", "a,b\n\xFF\n",
                  "read csv record: CSV error: record 1 (line: 2, byte: 4): found record with 1 "
                  "fields, but the previous record has 2 fields"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CsvReader, ValidMultibyteTextPasses) {
  EXPECT_EQ(parse("name\n\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\n")[0].at("name"),
            "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_NE(parse_error("a\n\xED\xA0\x80\n"), "");  // an encoded surrogate
  EXPECT_NE(parse_error("a\n\xC0\xAF\n"), "");      // an overlong form
}

TEST(CsvReader, TextInvalidAsAWholeCanStillHoldValidFields) {
  // The tail after a closing quote joins the two halves of one character.
  EXPECT_EQ(parse("a,b\n\"x\xC3\"\xA9,1\n")[0].at("a"), "x\xC3\xA9");
}

// Large texts are indexed in pieces on the pool; every piece must give what one scan gives.
class CsvLarge : public ::testing::Test {
 protected:
  static constexpr int kRows = 120000;  // a few MB

  // Record i holds i, a quoted field (with a line break inside when `broken`) and a text.
  static std::string text(bool broken) {
    std::string out = "id,note,tag\n";
    for (int i = 0; i < kRows; ++i) {
      out += std::to_string(i);
      out += broken ? ",\"n\n" : ",\"n ";
      out += std::to_string(i % 97);
      out += "\",t" + std::to_string(i % 5) + (i % 3 == 0 ? "\r\n" : "\n");
    }
    return out;
  }
};

TEST_F(CsvLarge, PiecesGiveTheRowsOfOneScanWithOrWithoutQuotedLineBreaks) {
  for (const bool broken : {false, true}) {
    const RowTable table = csv_reader::parse_csv(text(broken));
    ASSERT_EQ(table.size(), static_cast<std::size_t>(kRows)) << broken;
    RowScratch scratch;
    const auto note = *table.find_column("note");
    for (int i = 0; i < kRows; i += 1231) {
      const Row row = table.row(static_cast<std::size_t>(i), scratch);
      EXPECT_EQ(row.find(*table.find_column("id"))->as_text(), std::to_string(i));
      EXPECT_EQ(row.find(note)->as_text(),
                std::string(broken ? "n\n" : "n ") + std::to_string(i % 97));
    }
  }
}

TEST_F(CsvLarge, LateErrorsNameTheirRecordLineAndByte) {
  const std::string good = text(false);
  const std::string position = "record " + std::to_string(kRows + 1);
  const std::string line = std::to_string(kRows + 2);
  const std::string byte = std::to_string(good.size());
  EXPECT_EQ(parse_error(good + "1,2\n"),
            "read csv record: CSV error: " + position + " (line: " + line + ", byte: " + byte +
                "): found record with 2 fields, but the previous record has 3 fields");
  EXPECT_EQ(parse_error(good + "1,2,\xFF\n"),
            "read csv record: CSV parse error: " + position + " (line " + line +
                ", field: 2, byte: " + byte +
                "): invalid utf-8: invalid UTF-8 in field 2 near byte index 0");
  // A field-count error early wins over a UTF-8 error late.
  std::string early = good;
  early.insert(early.find('\n') + 1, "x\n");
  EXPECT_NE(parse_error(early + "1,2,\xFF\n").find("record 1 (line: 2, byte: 12): found record with 1"),
            std::string::npos);
  // Valid fields in a text that is not valid UTF-8 as a whole read normally.
  EXPECT_EQ(csv_reader::parse_csv(good + "1,\"\xC3\"\xA9,t\n").size(), static_cast<std::size_t>(kRows + 1));
}

class CsvFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("csv_reader_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(CsvFile, ReadsTheWholeFile) {
  std::string content = "\xEF\xBB\xBFid,value\r\n";
  for (int i = 0; i < 5000; ++i) {
    content += std::to_string(i) + ",\"v," + std::to_string(i * 7) + "\"\r\n";
  }
  const RowTable table = csv_reader::read_csv_rows(write("big.csv", content));
  ASSERT_EQ(table.size(), 5000u);
  EXPECT_EQ(table.columns(), (std::vector<std::string>{"id", "value"}));
  const auto rows = text_rows(table);
  EXPECT_EQ(rows[4321], (TextRow{{"id", "4321"}, {"value", "v,30247"}}));
}

TEST_F(CsvFile, MissingFileNamesThePath) {
  const std::string path = (dir_ / "missing.csv").string();
  try {
    csv_reader::read_csv_rows(path);
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "open csv file " + path + ": No such file or directory (os error 2)");
    EXPECT_STREQ(error.what(), ("open csv file " + path).c_str());
  }
}

TEST_F(CsvFile, DirectoryFailsWhileReading) {
  try {
    csv_reader::read_csv_rows(dir_.string());
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "read csv headers: Is a directory (os error 21)");
  }
}

}  // namespace
}  // namespace quib::ingest
