// Runs one statement of the query language many times over an open database, for a profiler:
// the open happens once, outside the loop, so a profile shows the statement alone.
//
//   query_driver <database directory> <statement> [iterations] [cold|warm]
//
// `cold` gives every iteration a new engine (an empty compare cache), as a fresh handle has;
// `warm` keeps one engine, so repeats are answered from its cache. Prints the mean and the
// fastest time per statement (the engine's own, without creating it), the last result's size and
// what the compare cache holds at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "query/cache.h"
#include "query/engine.h"
#include "sql/executor.h"
#include "storage/dist_store.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <database> <statement> [iterations] [cold|warm]\n", argv[0]);
    return 2;
  }
  const long iterations = argc > 3 ? std::atol(argv[3]) : 1000;
  const bool cold = argc <= 4 || std::string_view(argv[4]) != "warm";
  try {
    const auto db = quib::storage::Database::open(argv[1], false);
    std::optional<quib::query::QueryEngine> engine(std::in_place);
    std::size_t rows = 0;
    using Micros = std::chrono::duration<double, std::micro>;
    Micros total{0};
    Micros fastest{1e300};
    for (long i = 0; i < iterations; ++i) {
      if (cold) engine.emplace();
      const auto start = std::chrono::steady_clock::now();
      rows = quib::sql::query(db, *engine, argv[2]).rows.size();
      const Micros spent = std::chrono::steady_clock::now() - start;
      total += spent;
      fastest = std::min(fastest, spent);
    }
    std::printf(
        "%.1f us mean, %.1f us fastest per statement (%s, %ld iterations), %zu rows, cache %zu "
        "entries %.1f MB\n",
        total.count() / static_cast<double>(iterations), fastest.count(), cold ? "cold" : "warm",
        iterations, rows, engine->cache().size(),
        static_cast<double>(engine->cache().bytes()) / 1e6);
  } catch (const quib::Error& error) {
    std::fprintf(stderr, "%s\n", error.full().c_str());
    return 1;
  }
  return 0;
}
