#include "ingest/pipeline.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "file_size_limit.h"
#include "row_building.h"
#include "ingest/batch_updater.h"
#include "one_batch.h"

namespace quib::ingest {
namespace {

namespace fs = std::filesystem;
using core::json::Value;

class Pipeline : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("pipeline_" + std::to_string(::getpid()) + "_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    // Parameterised names hold slashes.
    std::string flat = dir_.string();
    for (std::size_t i = testing::TempDir().size(); i < flat.size(); ++i) {
      if (flat[i] == '/') flat[i] = '_';
    }
    dir_ = flat;
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "data");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / "data" / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  storage::Database create() {
    return storage::Database::create_with_options((dir_ / "db").string(), true);
  }

  std::string db_path() const { return (dir_ / "db").string(); }

  fs::path dir_;
};

std::string error_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& error) {
    return error.full();
  }
  return "no error";
}

// ---- choice of reader ----

struct ExtensionCase {
  std::string name;
  std::string content;
  std::string outcome;  // "rows:N" or the error text
};

class ReadRows : public Pipeline, public testing::WithParamInterface<ExtensionCase> {};

TEST_P(ReadRows, ChoosesTheReaderByLowerCasedExtension) {
  const std::string path = write(GetParam().name, GetParam().content);
  std::string outcome;
  try {
    outcome = "rows:";
    outcome += std::to_string(IngestionPipeline::read_rows(path).size());
  } catch (const Error& error) {
    outcome = error.full();
  }
  EXPECT_EQ(outcome, GetParam().outcome);
}

const std::string kCsv = "a,b\n1,2\n3,4\n";
const std::string kJsonLines = "{\"a\":1}\n[1]\n{\"a\":2}\n";
const std::string kUnsupported = "unsupported ingestion format '{}'; expected csv/json/parquet";

std::string unsupported(const std::string& extension) {
  std::string text = kUnsupported;
  return text.replace(text.find("{}"), 2, extension);
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, ReadRows,
    testing::Values(
        ExtensionCase{"DATA.CSV", kCsv, "rows:2"}, ExtensionCase{"a.tar.csv", kCsv, "rows:2"},
        ExtensionCase{"events.JSONL", kJsonLines, "rows:2"},
        ExtensionCase{"events.json", kJsonLines, "rows:2"},
        // The content never decides: JSON lines named .csv are read as CSV.
        ExtensionCase{"lines.csv", "{\"a\":1}\n", "rows:0"},
        ExtensionCase{"data.txt", kCsv, unsupported("txt")},
        ExtensionCase{"data", kCsv, unsupported("")},
        ExtensionCase{".csv", kCsv, unsupported("")},
        ExtensionCase{"data.", kCsv, unsupported("")},
        ExtensionCase{"x.PARQUET", kCsv,
                      "parquet ingestion requires enabling the 'parquet' feature"},
        ExtensionCase{"x.C\xc3\x89V", kCsv, unsupported("c\xc3\x89v")},
        ExtensionCase{"x.\xff", kCsv, unsupported("")}));

TEST_F(Pipeline, MissingFileFailsWithTheReadersContext) {
  const std::string path = (dir_ / "data" / "absent.csv").string();
  EXPECT_EQ(error_of([&] { IngestionPipeline::read_rows(path); }),
            "open csv file " + path + ": No such file or directory (os error 2)");
}

TEST_F(Pipeline, APathWithANulByteIsRefusedBeforeAnyRead) {
  const std::string csv = (dir_ / "x.csv").string();
  std::ofstream(csv) << "a\n1\n";
  const std::string path = csv + std::string("\0.json", 6);
  EXPECT_EQ(error_of([&] { IngestionPipeline::read_rows(path); }),
            "open json file " + path + ": file name contained an unexpected NUL byte");
}

// ---- whole ingests ----

TEST_F(Pipeline, FileWithoutRowsDefinesNothingAndStillFlushes) {
  for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
           {"empty.csv", ""}, {"header.csv", "a,b\n"}, {"empty.jsonl", ""}}) {
    fs::remove_all(dir_ / "db");
    create();
    // A file missing at the open is what the ingest's flush has to write.
    fs::remove(dir_ / "db" / "dist_index.edb");
    storage::Database db = storage::Database::open((dir_ / "db").string(), true);
    const IngestReport report = IngestionPipeline::ingest_file_auto(
        db, write(name, content), InferConfig{}, 10000, false);
    EXPECT_EQ(report.total_rows + report.processed_rows + report.skipped_rows +
                  report.distributions_updated,
              0u)
        << name;
    EXPECT_TRUE(db.schema().variables.empty());
    EXPECT_TRUE(fs::exists(dir_ / "db" / "dist_index.edb")) << name;
  }
}

std::string numbers_csv(int rows) {
  std::string csv = "v\n";
  for (int i = 0; i < rows; ++i) csv += std::to_string(i % 100) + ".5\n";
  return csv;
}

TEST_F(Pipeline, PrintsOneProgressLinePerBatch) {
  auto db = create();
  const std::string path = write("numbers.csv", numbers_csv(25000));
  testing::internal::CaptureStdout();
  const IngestReport report =
      IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 10000, true);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Ingesting: 10000 / 25000 rows (40.0%) \u2014 1 distributions updated\n"
            "Ingesting: 20000 / 25000 rows (80.0%) \u2014 2 distributions updated\n"
            "Ingesting: 25000 / 25000 rows (100.0%) \u2014 3 distributions updated\n");
  EXPECT_EQ(report.total_rows, 25000u);
  EXPECT_EQ(report.processed_rows, 25000u);
  EXPECT_EQ(report.distributions_updated, 3u);
  EXPECT_EQ(db.find_distribution("v", {})->sample_count, 25000u);
  EXPECT_EQ(db.meta().next_raw_record_id, 25001u);
}

TEST_F(Pipeline, BatchSizeZeroAppliesOneRowPerBatch) {
  auto db = create();
  const std::string path = write("numbers.csv", numbers_csv(3));
  testing::internal::CaptureStdout();
  IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 0, true);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Ingesting: 1 / 3 rows (33.3%) \u2014 1 distributions updated\n"
            "Ingesting: 2 / 3 rows (66.7%) \u2014 2 distributions updated\n"
            "Ingesting: 3 / 3 rows (100.0%) \u2014 3 distributions updated\n");
}

TEST_F(Pipeline, SkippedRowsKeepTheProgressBelowOneHundredPercent) {
  auto db = create();
  db.define_variable({"v", core::VariableType{core::VariableType::Continuous{4, std::nullopt}}});
  // Two dimensions read from one column: mapping keeps only the later, so rows lack the first.
  db.define_dimension({"day", "date", "daily"});
  db.define_dimension({"month", "date", "monthly"});
  RowTable rows;
  for (const char* date : {"2024-01-05", "2024-02-05"}) {
    const std::pair<std::string, Value> fields[] = {{"v", Value("0.5")}, {"date", Value(date)}};
    add_row(rows, fields);
  }
  testing::internal::CaptureStdout();
  const IngestReport report = IngestionPipeline::ingest_rows_internal(
      db, rows, schema_inference::identity_mapping(db.schema()), 10000, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Ingesting: 0 / 2 rows (0.0%) \u2014 0 distributions updated\n");
  EXPECT_EQ(report.total_rows, 2u);
  EXPECT_EQ(report.skipped_rows, 2u);
}

TEST_F(Pipeline, RowsLackingADimensionColumnAreDroppedByMapping) {
  auto db = create();
  db.define_dimension({"region", "region", std::nullopt});
  const std::string path = write("rows.jsonl",
                                 "{\"v\":1.5,\"region\":\"EU\"}\n"
                                 "{\"v\":2.5}\n"
                                 "{\"v\":3.5,\"region\":null}\n"
                                 "{\"v\":4.5,\"region\":\"US\"}\n");
  const IngestReport report =
      IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 10000, false);
  EXPECT_EQ(report.total_rows, 2u);
  EXPECT_EQ(report.processed_rows, 2u);
  EXPECT_EQ(report.skipped_rows, 0u);
  // The sample would make region a categorical variable too, but the dimension keeps the
  // column: v alone under EU and under US.
  EXPECT_EQ(report.distributions_updated, 2u);
}

// A JSON number -0 is the integer 0 on every road: the raw log, and the category it counts as.
TEST_F(Pipeline, JsonMinusZeroIsLoggedAndCountedAsTheIntegerZero) {
  auto db = create();
  db.define_variable({"v", core::VariableType{core::VariableType::Categorical{{"0", "x"}, true}}});
  const std::string path = write("zero.jsonl", "{\"v\":-0}\n{\"v\":0}\n{\"v\":-0.0}\n");
  IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 10000, false);
  const auto& counts = *db.find_distribution("v", {})->repr.get_if<core::ReprCategorical>();
  EXPECT_EQ(counts.counts, (std::vector<std::uint64_t>{2, 0}));
  EXPECT_EQ(counts.unknown_count, 1u);  // the float -0.0 reads as the text "-0.0"
  std::ifstream log(dir_ / "db" / "raw" / "log_000001.raw");
  std::ostringstream lines;
  lines << log.rdbuf();
  EXPECT_EQ(lines.str(), "{\"payload\":{\"v\":0},\"record_id\":1}\n"
                         "{\"payload\":{\"v\":0},\"record_id\":2}\n"
                         "{\"payload\":{\"v\":-0.0},\"record_id\":3}\n");
}

// Each kind of value takes its own way into a raw-log line, on the JSON-lines road and on the
// records road (a table built value by value, as the module builds it): empty texts carry no
// bytes at all there.
TEST_F(Pipeline, RawLogLinesHoldEveryKindOfValueOnBothRoads) {
  const std::pair<std::string, std::string> cases[] = {  // record, its logged payload
      {R"({"d":"a","v":""})", R"({"v":""})"},
      {R"({"d":"","v":""})", R"({"v":""})"},
      {R"({"d":"a","v":"k"})", R"({"v":"k"})"},
      {R"({"d":"a","v":"a\"\n"})", R"({"v":"a\"\n"})"},
      {R"({"d":"a","v":-12})", R"({"v":-12})"},
      {R"({"d":"a","v":2.5})", R"({"v":2.5})"},
      {R"({"d":"a","v":{"x":["",1,{}]}})", R"({"v":{"x":["",1,{}]}})"},
      {R"({"d":"a","v":[]})", R"({"v":[]})"},
      {R"({"d":"a","w":""})", "{}"},
  };
  for (const auto& [record, payload] : cases) {
    for (const bool file : {true, false}) {
      SCOPED_TRACE(record + (file ? " from a file" : " as records"));
      fs::remove_all(dir_ / "db");
      auto db = create();
      db.define_dimension({"d", "d", std::nullopt});
      db.define_variable({"v", core::VariableType{core::VariableType::Categorical{{"k"}, true}}});
      RowTable rows = IngestionPipeline::read_rows(write("rows.jsonl", record + "\n" + record));
      if (!file) {
        RowTable built;
        for (std::size_t i = 0; i < rows.size(); ++i) {
          const core::json::Object object = row_object(rows, i);
          add_row(built, std::vector<std::pair<std::string, Value>>(object.begin(), object.end()));
        }
        rows = std::move(built);
      }
      // Through the schema as it stands, with no inference from the rows.
      const IngestReport report = IngestionPipeline::ingest_rows_internal(
          db, rows, schema_inference::identity_mapping(db.schema()), 1, false);
      EXPECT_EQ(report.processed_rows, 2u);
      std::ifstream log(dir_ / "db" / "raw" / "log_000001.raw");
      std::ostringstream lines;
      lines << log.rdbuf();
      EXPECT_EQ(lines.str(), "{\"payload\":" + payload + ",\"record_id\":1}\n{\"payload\":" +
                                 payload + ",\"record_id\":2}\n");
    }
  }
}

TEST_F(Pipeline, EarlierDefinitionsWinOverTheSample) {
  auto db = create();
  db.define_variable({"v", core::VariableType{core::VariableType::Categorical{{"1", "x"}, true}}});
  db.define_dimension({"year", "year", "monthly"});
  const std::string path = write("later.csv", "v,year\n1,2020\n2,2021\n");
  IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 10000, false);
  ASSERT_EQ(db.schema().variables.size(), 1u);
  EXPECT_TRUE(db.schema().variables[0].var_type.is_categorical());
  ASSERT_EQ(db.schema().dimensions.size(), 1u);
  EXPECT_EQ(db.schema().dimensions[0].granularity, "monthly");
  const auto& counts =
      *db.find_distribution("v", {{"year", "2020"}})->repr.get_if<core::ReprCategorical>();
  EXPECT_EQ(counts.counts, (std::vector<std::uint64_t>{1, 0}));
  const auto& unknown =
      *db.find_distribution("v", {{"year", "2021"}})->repr.get_if<core::ReprCategorical>();
  EXPECT_EQ(unknown.unknown_count, 1u);
}

TEST_F(Pipeline, ReadOnlyDatabaseRefusesTheFirstNewDefinition) {
  create().flush();
  auto db = storage::Database::open(db_path(), false);
  const std::string path = write("numbers.csv", numbers_csv(3));
  EXPECT_EQ(error_of([&] {
              IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 10000, false);
            }),
            "database opened in read-only mode");
  EXPECT_TRUE(db.schema().variables.empty());
}

// ---- a failed call leaves nothing behind ----


// 500 rows over ten shops, with a column the first file lacks.
std::string shops_csv(int shops, bool extra) {
  std::string csv = extra ? "shop,v,label,extra\n" : "shop,v,label\n";
  for (int i = 0; i < 500; ++i) {
    csv += "s" + std::to_string(i % shops) + "," + std::to_string(i % 37) + ".5," +
           (i % 3 == 0 ? "x" : "y");
    if (extra) csv += "," + std::to_string(i % 11);
    csv += '\n';
  }
  return csv;
}

std::map<std::string, core::DistributionObject> by_key(const storage::Database& db) {
  std::map<std::string, core::DistributionObject> out;
  for (const auto& d : db.distributions()) {
    out.emplace(d.variable + "|" + core::canonical_dimension_key(d.dimension_key), d);
  }
  return out;
}

class FailedIngest : public Pipeline, public testing::WithParamInterface<bool> {
 protected:
  // The second ingest: the file in batches of 100 rows, or the same rows as records.
  IngestReport second(storage::Database& db, const std::string& path) {
    if (GetParam()) return IngestionPipeline::ingest_file_auto(db, path, InferConfig{}, 100, false);
    return IngestionPipeline::ingest_records(db, IngestionPipeline::read_rows(path));
  }
  std::uintmax_t log_size() const { return fs::file_size(dir_ / "db" / "raw" / "log_000001.raw"); }
};

TEST_P(FailedIngest, LeavesTheDatabaseAsBeforeAndARetryCountsOnce) {
  const std::string first = write("first.csv", shops_csv(5, false));
  const std::string more = write("more.csv", shops_csv(10, true));
  // The ingests without a fault, for the size of the second one's log lines and the counts.
  std::map<std::string, core::DistributionObject> expected;
  std::uintmax_t second_log = 0;
  {
    auto db = create();
    IngestionPipeline::ingest_file_auto(db, first, InferConfig{}, 100, false);
    const auto before = log_size();
    second(db, more);
    second_log = log_size() - before;
    expected = by_key(db);
  }
  fs::remove_all(dir_ / "db");

  auto db = create();
  IngestionPipeline::ingest_file_auto(db, first, InferConfig{}, 100, false);
  const storage::DistributionFile file = db.dist_file();
  const core::Schema schema = db.schema();
  const storage::DistIndex index = db.index();
  const auto shops = db.dimension_values("shop");
  const std::uint64_t next_record = db.meta().next_raw_record_id;
  {
    // The log fills up half-way through the second ingest (its third batch for the file).
    const FileSizeLimit limit(log_size() + second_log / 2);
    EXPECT_NE(error_of([&] { second(db, more); }).find("File too large"), std::string::npos);
  }
  EXPECT_EQ(db.dist_file(), file);
  EXPECT_EQ(db.schema(), schema);
  EXPECT_EQ(db.index(), index);
  EXPECT_EQ(db.dimension_values("shop"), shops);
  EXPECT_EQ(db.meta().next_distribution_id, file.distributions.size() + 1);
  EXPECT_GT(db.meta().next_raw_record_id, next_record);  // ids never go back

  db.flush();
  { auto closed = std::move(db); }
  auto reopened = storage::Database::open(db_path(), true);
  EXPECT_EQ(reopened.dist_file(), file);
  second(reopened, more);
  const auto got = by_key(reopened);
  ASSERT_EQ(got.size(), expected.size());
  for (const auto& [key, distribution] : expected) {
    const auto& retried = got.at(key);
    EXPECT_EQ(retried.repr, distribution.repr) << key;
    EXPECT_EQ(retried.sample_count, distribution.sample_count) << key;
    EXPECT_EQ(retried.version, distribution.version) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(FileAndRecords, FailedIngest, testing::Bool());

// ---- records handed in parts ----

// 600 records over seven shops: some lack the shop or hold null there (dropped), a column
// appears only after the first 250, numbers and texts mix.
std::vector<std::string> shop_records() {
  std::vector<std::string> lines;
  for (int i = 0; i < 600; ++i) {
    std::string line = "{\"v\":" + std::to_string(i % 41) + (i % 2 ? ".25" : "");
    if (i % 13 != 5) {
      line += i % 17 == 3 ? ",\"shop\":null" : ",\"shop\":\"s" + std::to_string(i % 7) + "\"";
    }
    line += std::string(",\"label\":\"") + (i % 3 ? "x" : "y") + "\"";
    if (i >= 250) line += ",\"extra\":" + std::to_string(i % 11);
    lines.push_back(line + "}\n");
  }
  return lines;
}

class RecordsInParts : public Pipeline, public testing::WithParamInterface<std::size_t> {
 protected:
  // A database with the first file's definitions, then the records in parts of `part` records,
  // or (0) as one table applied as one batch step by step; its distributions, raw log and report.
  struct Outcome {
    std::map<std::string, core::DistributionObject> distributions;
    std::string log;
    IngestReport report;
  };
  Outcome ingest(std::size_t part) {
    fs::remove_all(dir_ / "db");
    auto db = create();
    IngestionPipeline::ingest_file_auto(db, write("first.csv", shops_csv(5, false)), InferConfig{},
                                        100, false);
    const std::vector<std::string> lines = shop_records();
    Outcome out;
    if (part == 0) {
      std::string all;
      for (const auto& line : lines) all += line;
      const RowTable table = IngestionPipeline::read_rows(write("all.jsonl", all));
      const core::Schema schema = db.schema();
      const IngestMapping mapping = schema_inference::identity_mapping(schema);
      const ColumnBinding binding(mapping, table.columns());
      const KeptRows kept = column_mapper::kept_rows(table, binding);
      const BatchStats stats = batch_updater::apply_batch(db, schema, table, binding, kept);
      db.flush();
      out.report = {table.size(), stats.processed, stats.skipped, stats.distributions_updated, 0};
    } else {
      std::size_t next = 0;
      out.report = IngestionPipeline::ingest_records(db, [&](RowTable& table) {
        if (next == lines.size()) return false;
        std::string text;
        for (const std::size_t end = std::min(lines.size(), next + part); next < end; ++next) {
          text += lines[next];
        }
        table = IngestionPipeline::read_rows(write("part.jsonl", text));
        return true;
      });
    }
    out.distributions = by_key(db);
    std::ifstream log(dir_ / "db" / "raw" / "log_000001.raw");
    std::ostringstream text;
    text << log.rdbuf();
    out.log = text.str();
    return out;
  }
};

TEST_P(RecordsInParts, MakeTheBatchThatOneTableMakes) {
  const Outcome whole = ingest(0);
  const Outcome parted = ingest(GetParam());
  EXPECT_EQ(parted.report, whole.report);
  EXPECT_EQ(parted.log, whole.log);
  ASSERT_EQ(parted.distributions.size(), whole.distributions.size());
  for (const auto& [key, distribution] : whole.distributions) {
    const auto& got = parted.distributions.at(key);
    EXPECT_EQ(got.repr, distribution.repr) << key;
    EXPECT_EQ(got.sample_count, distribution.sample_count) << key;
    EXPECT_EQ(got.version, distribution.version) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(PartSizes, RecordsInParts, testing::Values(1, 7, 250, 600, 1000));

// ---- end to end: a generated file against counts computed here ----

struct Generated {
  std::string csv;
  // (variable, canonical key) -> counts; categorical counts end with the unknown count.
  std::map<std::pair<std::string, std::string>, std::vector<std::uint64_t>> expected;
};

constexpr int kRows = 120000;
const std::vector<std::string> kColours = {"red", "green", "blue", "amber", "violet"};

double price_of(std::uint64_t i) { return static_cast<double>((i * 7919) % 100000) / 100.0; }

// Columns: date (daily dates over two years, a date dimension bucketed monthly), year (a year
// dimension), store (60 texts, a plain dimension), colour (categorical; "late" first appears
// after the sample), price (continuous; its extremes within the sample).
std::string generate_csv() {
  std::string csv = "store,price,date,colour,year\n";
  for (std::uint64_t i = 0; i < kRows; ++i) {
    const std::uint64_t day = (i * 31) % 730;
    const int month = static_cast<int>(day / 30) % 12 + 1;
    const int year = 2022 + static_cast<int>(day / 365);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, month, static_cast<int>(day % 28) + 1);
    const std::string colour = i > 5000 && i % 97 == 0 ? "late" : kColours[i % kColours.size()];
    char price[32];
    std::snprintf(price, sizeof price, "%.2f", price_of(i));
    csv += 's';
    csv += std::to_string((i * 13) % 60);
    for (const std::string& field : {std::string(price), std::string(date), colour}) {
      csv += ',';
      csv += field;
    }
    csv += ',';
    csv += std::to_string(2019 + (i % 5));
    csv += '\n';
  }
  return csv;
}

std::uint64_t bin_of(double value, double min, double max, std::uint32_t bins) {
  const double width = (max - min) / bins;
  const double position = std::floor((value - min) / width);
  if (position < 0) return 0;
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(position), bins - 1);
}

TEST_F(Pipeline, EndToEndCountsMatchAnIndependentTally) {
  const std::string csv = generate_csv();
  const std::string path = write("sales.csv", csv);
  auto db = create();
  InferConfig config;
  config.date_columns = {"date"};
  config.date_granularity = "monthly";
  const IngestReport report = IngestionPipeline::ingest_file_auto(db, path, config, 10000, false);
  EXPECT_EQ(report.total_rows, static_cast<std::uint64_t>(kRows));
  EXPECT_EQ(report.processed_rows, static_cast<std::uint64_t>(kRows));
  EXPECT_EQ(report.skipped_rows, 0u);

  // The shape inference gives this file.
  const core::Schema& schema = db.schema();
  ASSERT_EQ(schema.variables.size(), 2u);
  EXPECT_EQ(schema.variables[0].name, "colour");
  ASSERT_EQ(schema.variables[1].name, "price");
  const auto& colour = *schema.variables[0].var_type.get_if<core::VariableType::Categorical>();
  const auto& price = *schema.variables[1].var_type.get_if<core::VariableType::Continuous>();
  ASSERT_EQ(colour.categories.size(), kColours.size());
  ASSERT_TRUE(price.range);
  ASSERT_EQ(schema.dimensions.size(), 3u);

  // Tally every row independently of the engine.
  std::map<std::pair<std::string, std::string>, std::vector<std::uint64_t>> expected;
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    const std::string month = f[2].substr(0, 7);
    const std::string key = "date:" + month + "/store:" + f[0] + "/year:" + f[4];
    auto& colours = expected[{"colour", key}];
    colours.resize(colour.categories.size() + 1);
    const auto it = std::find(colour.categories.begin(), colour.categories.end(), f[3]);
    ++colours[static_cast<std::size_t>(it - colour.categories.begin())];  // end = unknown
    auto& prices = expected[{"price", key}];
    prices.resize(price.bins);
    ++prices[bin_of(std::strtod(f[1].c_str(), nullptr), price.range->first, price.range->second,
                    price.bins)];
  }

  // Counts must survive the flush: read them back from disk.
  db = storage::Database::open(db_path(), false);
  ASSERT_EQ(db.distributions().size(), expected.size());
  std::uint64_t unknown_total = 0;
  for (const auto& distribution : db.distributions()) {
    const auto it = expected.find(
        {distribution.variable, core::canonical_dimension_key(distribution.dimension_key)});
    ASSERT_NE(it, expected.end()) << distribution.variable;
    std::vector<std::uint64_t> stored;
    if (const auto* histogram = distribution.repr.get_if<core::ReprHistogram>()) {
      stored = histogram->bin_counts;
    } else {
      const auto& categorical = *distribution.repr.get_if<core::ReprCategorical>();
      stored = categorical.counts;
      stored.push_back(categorical.unknown_count);
      unknown_total += categorical.unknown_count;
    }
    EXPECT_EQ(stored, it->second) << distribution.variable << " "
                                  << core::canonical_dimension_key(distribution.dimension_key);
    std::uint64_t total = 0;
    for (auto n : it->second) total += n;
    EXPECT_EQ(distribution.sample_count, total);
  }
  EXPECT_GT(unknown_total, 0u);
  EXPECT_EQ(db.meta().next_raw_record_id, static_cast<std::uint64_t>(kRows) + 1);
}

}  // namespace
}  // namespace quib::ingest
