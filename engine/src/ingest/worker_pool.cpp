#include "ingest/worker_pool.h"

#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace quib::ingest::worker_pool {
namespace {

tbb::task_arena& arena() {
  // More threads than the processors the process may use only take turns on them.
  static tbb::task_arena pool(std::max(1, tbb::info::default_concurrency()));
  return pool;
}

}  // namespace

std::size_t concurrency() { return static_cast<std::size_t>(arena().max_concurrency()); }

void for_each_chunk(std::size_t n, std::size_t chunks,
                    const std::function<void(std::size_t, std::size_t, std::size_t)>& body) {
  if (n == 0 || chunks == 0) return;
  chunks = std::min(chunks, n);
  std::vector<std::exception_ptr> errors(chunks);
  auto run_chunk = [&](std::size_t c) {
    try {
      body(c, c * n / chunks, (c + 1) * n / chunks);
    } catch (...) {
      errors[c] = std::current_exception();
    }
  };
  if (chunks == 1) {
    run_chunk(0);
  } else {
    arena().execute([&] {
      tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) { run_chunk(c); });
    });
  }
  for (auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

struct Background::Group {
  tbb::task_group tasks;
};

Background::Background(std::function<void()> body) : group_(std::make_unique<Group>()) {
  arena().execute([&] { group_->tasks.run(std::move(body)); });
}

Background::~Background() {
  if (waited_) return;
  try {
    wait();
  } catch (...) {
    // The error of work whose result nobody waits for anymore.
  }
}

void Background::wait() {
  if (waited_) return;
  waited_ = true;
  arena().execute([&] { group_->tasks.wait(); });
}

}  // namespace quib::ingest::worker_pool
