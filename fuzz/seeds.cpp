#include "seeds.h"

#include <unistd.h>

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

// Written files (one zstd frame), the uncompressed version 0 and the JSON form of each record.
void container_seeds(SeedWriter& out) {
  const std::string dir = fs::temp_directory_path() / ("quib_seeds_" + std::to_string(getpid()));
  fs::create_directories(dir);
  each_record([&](char type, const auto& record) {
    const std::string path = dir + "/record.edb";
    storage::file_format::write_file(path, record);
    out.put_record(type, file_text(path));
    std::string version0("QUIB\0\0\0\0", 8);
    out.put_record(type, version0 + std::string(text_of(storage::codec::encode(record))));
    out.put_record(type, storage::json_form::to_json(record));
  });
  fs::remove_all(dir);
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

}  // namespace

void write_seeds(const std::string& name, const std::string& dir) {
  SeedWriter out(dir);
  if (name == "codec") codec_seeds(out);
  if (name == "container") container_seeds(out);
  if (name == "json") json_seeds(out);
  if (name == "csv") csv_seeds(out);
  if (name == "json_lines") json_lines_seeds(out);
  if (name == "reference" || name == "sql") query_seeds(out);
}

}  // namespace quib::fuzz
