#include "seeds.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string_view>
#include <vector>

#include "core/json_reader.h"
#include "core/json_writer.h"
#include "storage/codec.h"
#include "storage/file_format.h"
#include "storage/json_form.h"
#include "storage/raw_log.h"
#include "../engine/tests/sample_records.h"
#include "store_targets.h"

namespace quib::fuzz {
namespace {

namespace fs = std::filesystem;

class SeedWriter {
 public:
  explicit SeedWriter(std::string dir) : dir_(std::move(dir)) {}
  void put(std::string_view bytes) {
    std::ofstream(dir_ + "/seed-" + std::to_string(count_++), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // The record-type byte of targets.h, then the input.
  void put_record(char type, std::string_view bytes) { put(std::string(1, type) + std::string(bytes)); }

 private:
  std::string dir_;
  int count_ = 0;
};

std::string_view text_of(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Calls fn(type byte, record) for the sample and the new-database value of every file record.
template <typename Fn>
void each_record(Fn&& fn) {
  fn('\0', storage::samples::sample_meta());
  fn('\0', storage::MetaFile{});
  fn('\1', storage::samples::sample_distributions());
  fn('\1', storage::DistributionFile{});
  fn('\2', storage::samples::sample_index());
  fn('\3', storage::samples::sample_snapshots());
}

void codec_seeds(SeedWriter& out) {
  each_record([&](char type, const auto& record) {
    out.put_record(type, text_of(storage::codec::encode(record)));
  });
}

// A record as written (one zstd frame), uncompressed (version 0) and in JSON form.
template <typename Record>
std::array<std::string, 3> file_forms(const Record& record) {
  const std::string path =
      fs::temp_directory_path() / ("quib_seed_" + std::to_string(getpid()) + ".edb");
  storage::file_format::write_file(path, record);
  std::array<std::string, 3> forms{
      file_text(path),
      std::string("QUIB\0\0\0\0", 8) + std::string(text_of(storage::codec::encode(record))),
      storage::json_form::to_json(record)};
  fs::remove(path);
  return forms;
}

void container_seeds(SeedWriter& out) {
  each_record([&](char type, const auto& record) {
    for (const std::string& form : file_forms(record)) out.put_record(type, form);
  });
}

void json_seeds(SeedWriter& out) {
  each_record([&](char, const auto& record) { out.put(storage::json_form::to_json(record)); });
  for (const char* text : {"[1,-0,2.5e-3,true,null,\"\\u00e9\\ud83d\\ude00\"]", "{\"a\":{}}",
                           "18446744073709551616", "\"\\n\\t\""}) {
    out.put(text);
  }
}

constexpr std::string_view kSalesHead =
    "date,region,category,price,units\n"
    "2025-01-03,north,grocery,11.9,2\n"
    "2025-02-14,south,\"home, garden\",120.5,1\n"
    "2025-03-01,west,\"say \"\"hi\"\"\",3.25,10\r\n";

void csv_seeds(SeedWriter& out) {
  out.put(kSalesHead);
  out.put("\xEF\xBB\xBF" "a,b\n1,2\n");
  out.put("a,a\n\"x\ny\",\n");
}

void json_lines_seeds(SeedWriter& out) {
  out.put("{\"date\":\"2025-01-03\",\"price\":11.9,\"units\":2,\"tags\":[1,{\"x\":null}]}\n"
          "{\"region\":\"south\",\"price\":-0,\"units\":18446744073709551615}\r\n");
  out.put("[1,2]\n\"text\"\n{}\n");
  std::string line;
  storage::append_raw_line_text(
      line, 7, core::json::to_string(core::json::parse("{\"a\":\"\\u0001\",\"b\":1e300}")));
  out.put(line);
}

// Statements and references as the query tests write them.
void query_seeds(SeedWriter& out) {
  for (const char* text :
       {"COMPARE x BETWEEN a:1 AND b:2 WHERE c", "COMPARE x ACROSS region WHERE y:2024 LIMIT 5",
        "EXPLAIN a:1 VS b:2", "CMI x, y GIVEN z", "CORRELATIONS LIMIT 5 OVER region LIMIT 7",
        "DIMENSIONS region", "EXPORT SHOW x AT a:1 TOP 2 AS CSV",
        "EXPORT EXPORT STATS AS CSV AS JSON", "COMPARE \"x y\" BETWEEN a:1 AND b:2",
        "region:north/day:2024-01-03", "a:1/variable:v/b:2", "a:b:c", "variable:x/variable:y"}) {
    out.put(text);
  }
}

// The sales rows, a blank line, then statements of every kind over their names.
void executor_seeds(SeedWriter& out) {
  std::string statements;
  for (const char* text :
       {"STATS", "SCHEMA", "DIMENSIONS region", "SHOW category AT region:north TOP 2",
        "SHOW price AT region:south", "COMPARE price BETWEEN region:north AND region:south",
        "COMPARE category ACROSS region WHERE date:2025-01-03 LIMIT 5",
        "EXPLAIN region:north VS region:west", "PAIRWISE region ON price USING psi",
        "NEAREST region:north ON region", "RANK category BY ENTROPY OVER region",
        "MI category, price AT region:north", "CMI category, units GIVEN region",
        "CORRELATIONS LIMIT 5", "TRACK price OVER date", "EXPORT STATS AS JSON",
        "EXPORT SHOW category AT region:west TOP 1 AS CSV"}) {
    statements += std::string(text) + "\n";
    if (statements.size() > 60) {
      out.put(std::string(kSalesHead) + std::string(kStatementsSeparator) + statements);
      statements.clear();
    }
  }
  out.put(std::string(kSalesHead) + std::string(kStatementsSeparator) + statements);
  out.put("[not csv\n\nSTATS");
}

// The files of one database, joined, in each form of `file_forms`.
template <typename... Records>
void put_database(SeedWriter& out, const Records&... records) {
  std::array<std::string, 3> joined;
  auto add = [&](const auto& record) {
    const std::array<std::string, 3> forms = file_forms(record);
    for (std::size_t i = 0; i < forms.size(); ++i) {
      if (!joined[i].empty()) joined[i] += kFileSeparator;
      joined[i] += forms[i];
    }
  };
  (add(records), ...);
  for (const std::string& database : joined) out.put(database);
}

void database_seeds(SeedWriter& out) {
  put_database(out, storage::samples::sample_meta(), storage::samples::sample_distributions(),
               storage::samples::sample_index(), storage::samples::sample_snapshots());
  put_database(out, storage::MetaFile{}, storage::DistributionFile{});
}

void raw_log_seeds(SeedWriter& out) {
  std::string lines;
  for (std::uint64_t id = 1; id <= 3; ++id) {
    storage::append_raw_line_text(lines, id, "{\"region\":\"north\",\"price\":11.9}");
  }
  out.put(lines);
  out.put(lines + "{\"payload\":{\"a\":1},\"record");
  out.put(lines + "{\"payload\":1,\"record_id\":18446744073709551615}\n");
  out.put("");
}

void dates_numbers_seeds(SeedWriter& out) {
  for (const char* text :
       {"2025-01-03", "2025/02/14T23:59:60", " 2024- 2- 29T1:2:3", "+12345-06-30", "-0001-12-31",
        "2021-01-01", "1e300", "-0", "0.0000001", "NaN", "-Infinity", "1.7976931348623157e308",
        "4.9e-324", ".5e-3"}) {
    out.put(text);
  }
}

// A selector byte (reader and limits), then rows.
void schema_inference_seeds(SeedWriter& out) {
  out.put(std::string(1, '\x52') + std::string(kSalesHead));
  out.put(std::string(1, '\x03') + "year,n\n1999,1\n2100,x\n,2.5\n");
  out.put(std::string(1, '\x21') +
          "{\"date\":\"2025-01-03\",\"price\":11.9,\"tags\":[1]}\n{\"price\":\"7\",\"y\":1900}\n");
}

}  // namespace

void write_seeds(const std::string& name, const std::string& dir) {
  SeedWriter out(dir);
  if (name == "codec") codec_seeds(out);
  if (name == "container") container_seeds(out);
  if (name == "json") json_seeds(out);
  if (name == "csv") csv_seeds(out);
  if (name == "json_lines") json_lines_seeds(out);
  if (name == "reference" || name == "sql") query_seeds(out);
  if (name == "executor") executor_seeds(out);
  if (name == "database") database_seeds(out);
  if (name == "raw_log") raw_log_seeds(out);
  if (name == "dates_numbers") dates_numbers_seeds(out);
  if (name == "schema_inference") schema_inference_seeds(out);
}

}  // namespace quib::fuzz
