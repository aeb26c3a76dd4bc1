// The process-wide worker pool of ingestion: one oneTBB arena, created on first use and sized to
// the number of logical processors the process may run on (all of them unless its affinity is
// narrowed, as `taskset` does), shared by every database and every call.
//
// Work is split into chunks of consecutive items so that each chunk can write its own buffers
// and results keep the input order whatever the order of completion. No exception leaves a
// worker: the first one thrown by any chunk is rethrown on the calling thread once every chunk
// has finished.
//
// When the process cannot start the pool's threads (a limit on threads or on memory), nothing
// goes to the pool: the calling thread runs every chunk and every background body itself, in
// order, with the same results. A call never waits for work that only a missing thread would do.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace quib::ingest::worker_pool {

// Number of threads in the pool.
std::size_t concurrency();

// Runs body(chunk, begin, end) for `chunks` consecutive slices of [0, n) on the pool and waits.
// Chunk c covers [c * n / chunks, (c + 1) * n / chunks).
void for_each_chunk(std::size_t n, std::size_t chunks,
                    const std::function<void(std::size_t, std::size_t, std::size_t)>& body);

// Work started on the pool while the calling thread goes on with its own: `wait` returns once
// the body has run and rethrows what it threw. Destroying a `Background` waits too, dropping any
// error. The body may itself use `for_each_chunk`. A body that no worker has started by the time
// of the wait runs on the waiting thread; without the pool, it runs before the constructor
// returns.
class Background {
 public:
  explicit Background(std::function<void()> body);
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background();

  void wait();

 private:
  struct Group;
  std::unique_ptr<Group> group_;
  bool waited_ = false;
};

}  // namespace quib::ingest::worker_pool
