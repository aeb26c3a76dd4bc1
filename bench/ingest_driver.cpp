// Ingests one file the way `QuibDB.ingest(path, date_columns=["date"], date_granularity="monthly")`
// does, stage by stage, for a profiler and for the cost of each stage:
//
//   ingest_driver <file> <scratch directory> [log|nolog] [runs]
//
// Each run creates a new database in the scratch directory (raw log on with `log`, the default),
// then reads the file, infers and defines the schema, applies the rows in batches of 10,000 and
// flushes. Prints each stage's time per run and the median of every stage over the runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "ingest/batch_updater.h"
#include "ingest/pipeline.h"
#include "ingest/schema_inference.h"
#include "storage/dist_store.h"

namespace {

using quib::ingest::IngestionPipeline;
using Millis = std::chrono::duration<double, std::milli>;

constexpr const char* kStages[] = {"create", "read", "infer", "batches", "flush", "total"};
constexpr std::size_t kStageCount = sizeof kStages / sizeof kStages[0];
constexpr std::uint64_t kBatchRows = 10000;  // as the module ingests a file

std::vector<double> one_run(const std::string& file, const std::string& directory, bool raw_log) {
  std::filesystem::remove_all(directory);
  std::vector<double> times;
  auto lap = [&times, start = std::chrono::steady_clock::now()]() mutable {
    const auto now = std::chrono::steady_clock::now();
    times.push_back(Millis(now - start).count());
    start = now;
  };
  auto db = quib::storage::Database::create_with_options(directory, raw_log);
  lap();
  const quib::ingest::RowTable rows = IngestionPipeline::read_rows(file);
  lap();
  quib::ingest::InferConfig config;
  config.date_columns = {"date"};
  config.date_granularity = "monthly";
  const quib::core::Schema inferred = quib::ingest::schema_inference::infer_schema(rows, config);
  for (const auto& variable : inferred.variables) {
    if (db.schema().find_variable(variable.name) == nullptr) db.define_variable(variable);
  }
  for (const auto& dimension : inferred.dimensions) {
    if (db.schema().find_dimension(dimension.name) == nullptr) db.define_dimension(dimension);
  }
  const quib::core::Schema schema = db.schema();
  const auto mapping = quib::ingest::schema_inference::identity_mapping(schema);
  const quib::ingest::ColumnBinding binding(mapping, rows.columns());
  const auto kept = quib::ingest::column_mapper::kept_rows(rows, binding);
  lap();
  quib::ingest::batch_updater::BatchWriter writer(db, schema);
  writer.apply_runs(rows, binding, kept, kBatchRows, [](const quib::ingest::BatchStats&) {});
  writer.finish();
  lap();
  db.flush();
  lap();
  double total = 0.0;
  for (const double t : times) total += t;
  times.push_back(total);
  return times;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <file> <scratch directory> [log|nolog] [runs]\n", argv[0]);
    return 2;
  }
  const bool raw_log = argc <= 3 || std::string_view(argv[3]) != "nolog";
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  try {
    std::vector<std::vector<double>> by_stage(kStageCount);
    for (int run = 0; run < runs; ++run) {
      const std::vector<double> times = one_run(argv[1], argv[2], raw_log);
      for (std::size_t s = 0; s < kStageCount; ++s) {
        by_stage[s].push_back(times[s]);
        std::printf("%s %.1f  ", kStages[s], times[s]);
      }
      std::printf("ms\n");
    }
    std::printf("median of %d (raw log %s):", runs, raw_log ? "on" : "off");
    for (std::size_t s = 0; s < kStageCount; ++s) {
      std::printf(" %s %.1f", kStages[s], median(by_stage[s]));
    }
    std::printf(" ms\n");
    std::filesystem::remove_all(argv[2]);
  } catch (const quib::Error& error) {
    std::fprintf(stderr, "%s\n", error.full().c_str());
    return 1;
  }
  return 0;
}
