// The raw-log line a row leaves on both roads that log: JSON lines read from a file, and records
// handed over as a table built value by value, as the module builds it. Empty texts, numbers and
// nested values each take a different way through the line writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/json_reader.h"
#include "ingest/pipeline.h"
#include "ingest/schema_inference.h"
#include "row_building.h"

namespace quib::ingest {
namespace {

namespace fs = std::filesystem;

struct PayloadCase {
  std::string name;
  std::string record;   // one JSON object, on a line of its own in the file
  std::string payload;  // as logged
};

class RawLogPayload : public testing::TestWithParam<std::tuple<PayloadCase, bool>> {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("raw_log_payload_" + std::to_string(::getpid()) + "_" + std::get<0>(GetParam()).name +
            (std::get<1>(GetParam()) ? "_file" : "_records"));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Ingests the record twice after a first record that defines `v` and the dimension `d`;
  // returns the log.
  std::string ingest(const std::string& record) {
    auto db = storage::Database::create_with_options((dir_ / "db").string(), true);
    db.define_dimension({"d", "d", std::nullopt});
    db.define_variable({"v", core::VariableType{core::VariableType::Categorical{{"k"}, true}}});
    const std::string lines = record + "\n" + record + "\n";
    IngestReport report;
    if (std::get<1>(GetParam())) {
      const fs::path path = dir_ / "rows.jsonl";
      std::ofstream(path, std::ios::binary) << lines;
      // Through the schema as it stands, with no inference from the file.
      report = IngestionPipeline::ingest_rows_internal(
          db, IngestionPipeline::read_rows(path.string()),
          schema_inference::identity_mapping(db.schema()), 1, false);
    } else {
      const auto object = *core::json::parse(record).get_if<core::json::Object>();
      const std::vector<std::pair<std::string, core::json::Value>> values(object.begin(),
                                                                          object.end());
      RowTable table;
      add_row(table, values);
      add_row(table, values);
      report = IngestionPipeline::ingest_records(db, std::move(table));
    }
    EXPECT_EQ(report.processed_rows, 2u);
    std::ifstream log(dir_ / "db" / "raw" / "log_000001.raw");
    std::ostringstream text;
    text << log.rdbuf();
    return text.str();
  }

  fs::path dir_;
};

TEST_P(RawLogPayload, LogsEachRowsMappedVariables) {
  const PayloadCase& c = std::get<0>(GetParam());
  EXPECT_EQ(ingest(c.record), "{\"payload\":" + c.payload + ",\"record_id\":1}\n" +
                                  "{\"payload\":" + c.payload + ",\"record_id\":2}\n");
}

INSTANTIATE_TEST_SUITE_P(
    Values, RawLogPayload,
    testing::Combine(
        testing::Values(
            PayloadCase{"EmptyText", R"({"d":"a","v":""})", R"({"v":""})"},
            PayloadCase{"EmptyTextsOnly", R"({"d":"","v":""})", R"({"v":""})"},
            PayloadCase{"PlainText", R"({"d":"a","v":"k"})", R"({"v":"k"})"},
            PayloadCase{"EscapedText", R"({"d":"a","v":"a\"\n"})", R"({"v":"a\"\n"})"},
            PayloadCase{"Integer", R"({"d":"a","v":-12})", R"({"v":-12})"},
            PayloadCase{"Float", R"({"d":"a","v":2.5})", R"({"v":2.5})"},
            PayloadCase{"Nested", R"({"d":"a","v":{"x":["",1,{}]}})", R"({"v":{"x":["",1,{}]}})"},
            PayloadCase{"EmptyArray", R"({"d":"a","v":[]})", R"({"v":[]})"},
            PayloadCase{"NoMappedVariable", R"({"d":"a","w":""})", "{}"}),
        testing::Bool()),
    [](const auto& info) {
      return std::get<0>(info.param).name + (std::get<1>(info.param) ? "File" : "Records");
    });

}  // namespace
}  // namespace quib::ingest
