// JSON-lines reading: line splitting, the kinds of values kept, and the errors of bad lines.
#include "core/json_writer.h"
#include "ingest/json_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/error.h"
#include "core/json.h"
#include "row_building.h"

namespace quib::ingest {
namespace {

using core::json::Value;

// Rows back as JSON objects, so that their content compares in one step.
std::vector<core::json::Object> objects(const RowTable& table) {
  std::vector<core::json::Object> out;
  for (std::size_t i = 0; i < table.size(); ++i) out.push_back(row_object(table, i));
  return out;
}

std::string parse_error(std::string_view text) {
  try {
    json_reader::parse_json_lines(text);
  } catch (const Error& error) {
    return error.full();
  }
  return "";
}

TEST(JsonLinesReader, KeepsObjectsWithTheirJsonTypes) {
  const RowTable table = json_reader::parse_json_lines(
      R"({"u":7,"s":-7,"f":7.0,"e":1e3,"t":"x","b":true,"n":null,"a":[1],"o":{"k":2}})" "\n");
  ASSERT_EQ(table.size(), 1u);
  const auto row = objects(table)[0];
  EXPECT_EQ(row.at("u"), Value(std::uint64_t{7}));
  EXPECT_EQ(row.at("s"), Value(std::int64_t{-7}));
  EXPECT_EQ(row.at("f"), Value(7.0));
  EXPECT_EQ(row.at("e"), Value(1000.0));
  EXPECT_EQ(row.at("t"), Value("x"));
  EXPECT_EQ(row.at("b"), Value(true));
  EXPECT_TRUE(row.at("n").is_null());
  EXPECT_EQ(row.at("a"), Value(core::json::Array{Value(std::uint64_t{1})}));
  EXPECT_EQ(row.at("o"), Value(core::json::Object{{"k", Value(std::uint64_t{2})}}));
}

TEST(JsonLinesReader, DropsValuesThatAreNotObjects) {
  const RowTable table =
      json_reader::parse_json_lines("[1,2]\n{\"a\":1}\n3\n\"text\"\nnull\ntrue\n{\"a\":2}");
  const auto rows = objects(table);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("a"), Value(std::uint64_t{1}));
  EXPECT_EQ(rows[1].at("a"), Value(std::uint64_t{2}));
}

TEST(JsonLinesReader, SplitsOnLfAndDropsOneCrBeforeIt) {
  for (const char* text : {"{\"a\":1}\n{\"a\":2}\n", "{\"a\":1}\r\n{\"a\":2}\r\n",
                           "{\"a\":1}\n{\"a\":2}", "{\"a\":1}\n{\"a\":2}\r", " {\"a\":1} \t\n{\"a\":2}"}) {
    EXPECT_EQ(json_reader::parse_json_lines(text).size(), 2u) << text;
  }
  EXPECT_TRUE(json_reader::parse_json_lines("").empty());
}

TEST(JsonLinesReader, FieldsRunInNameOrderAcrossChangingKeys) {
  const RowTable table = json_reader::parse_json_lines(
      "{\"z\":1}\n{\"a\":2,\"z\":3}\n{\"m\":4,\"a\":5}\n{\"a\":6,\"a\":7}\n");
  EXPECT_EQ(table.columns(), (std::vector<std::string>{"z", "a", "m"}));
  std::vector<std::vector<std::string>> names;
  RowScratch scratch;
  for (std::size_t i = 0; i < table.size(); ++i) {
    names.emplace_back();
    for (const Field& field : table.row(i, scratch).fields) {
      names.back().push_back(table.column_name(field.column));
    }
  }
  EXPECT_EQ(names, (std::vector<std::vector<std::string>>{{"z"}, {"a", "z"}, {"a", "m"}, {"a"}}));
  EXPECT_EQ(table.row(3, scratch).find(*table.find_column("a"))->to_json(),
            Value(std::uint64_t{7}));
}

TEST(JsonLinesReader, BadLinesFailUnderTheirContexts) {
  EXPECT_EQ(parse_error("{\"a\":1}\n\n{\"a\":2}\n"),
            "parse json line: EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(parse_error("{\"a\":1}\n\n"),
            "parse json line: EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(parse_error("{\"a\":1}\n  \n").rfind("parse json line: EOF while parsing a value", 0),
            0u);
  EXPECT_EQ(parse_error("{\"a\":1} {\"b\":2}\n").rfind("parse json line: trailing characters", 0),
            0u);
  EXPECT_EQ(parse_error("{\"a\":1}\n{\"a\":\"\xFF\"}\n"),
            "read json line: stream did not contain valid UTF-8");
}

TEST(JsonLinesReader, StopsAtTheFirstBadLine) {
  // The parse error of an early line wins over the encoding error of a later one.
  EXPECT_EQ(parse_error("\n\xFF\n"), "parse json line: EOF while parsing a value at line 1 column 0");
}

// Large texts are read in pieces on the pool and joined; nothing may tell the pieces apart.
TEST(JsonLinesReader, PiecesJoinIntoOneTableInFileOrder) {
  constexpr int kLines = 60000;  // a few MB
  std::string text;
  for (int i = 0; i < kLines; ++i) {
    const std::string number = std::to_string(i);
    text.append("{\"i\":").append(number);
    if (i % 1000 == 7) text.append(",\"n\":[").append(number).append(",{\"s\":\"t").append(number).append("\"}]");
    if (i == kLines - 3) text += ",\"late\":\"only here\"";
    text.append(",\"s\":\"x").append(std::to_string(i % 13)).append("\"}\n");
    if (i % 5000 == 0) text += "[\"dropped\"]\n";
  }
  const RowTable table = json_reader::parse_json_lines(text);
  ASSERT_EQ(table.size(), static_cast<std::size_t>(kLines));
  EXPECT_EQ(table.columns(), (std::vector<std::string>{"i", "s", "n", "late"}));
  for (int i = 0; i < kLines; i += 999) {
    const auto row = row_object(table, static_cast<std::size_t>(i));
    EXPECT_EQ(row.at("i"), Value(static_cast<std::uint64_t>(i)));
    EXPECT_EQ(row.at("s"), Value(std::string(1, 'x').append(std::to_string(i % 13))));
  }
  const auto nested = row_object(table, kLines - 993);
  std::string expected = "[";
  expected += std::to_string(kLines - 993);
  expected += ",{\"s\":\"t";
  expected += std::to_string(kLines - 993);
  expected += "\"}]";
  EXPECT_EQ(core::json::to_string(nested.at("n")), expected);
  EXPECT_EQ(row_object(table, kLines - 3).at("late"), Value("only here"));

  // The first bad line of the file wins, wherever the pieces fall.
  std::string bad = text;
  bad.insert(bad.begin() + static_cast<std::ptrdiff_t>(bad.size() / 3), '\n');  // a line cut in two
  bad.append("{\"i\":}\n");
  const std::string error = parse_error(bad);
  EXPECT_EQ(error.rfind("parse json line: ", 0), 0u);
  EXPECT_EQ(error.find("expected value"), std::string::npos) << error;
}

TEST(JsonLinesReader, ReadsFilesAndNamesAMissingOne) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("json_reader_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "events.jsonl").string();
  std::ofstream(path, std::ios::binary) << "{\"k\":\"v\"}\n{\"k\":1.5}\n";
  const auto rows = objects(json_reader::read_json_lines_rows(path));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].at("k"), Value(1.5));

  const std::string missing = (dir / "missing.jsonl").string();
  try {
    json_reader::read_json_lines_rows(missing);
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), "open json file " + missing + ": No such file or directory (os error 2)");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quib::ingest
