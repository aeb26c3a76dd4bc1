#include "ingest/worker_pool.h"

#include <pthread.h>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

namespace quib::ingest::worker_pool {
namespace {

tbb::task_arena& arena() {
  // More threads than the processors the process may use only take turns on them.
  static tbb::task_arena pool(std::max(1, tbb::info::default_concurrency()));
  return pool;
}

// Whether `count` threads with the pool's stack size can exist at once: each waits on a lock
// held until all are started, then all are joined.
bool threads_can_start(std::size_t count) {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0) return false;
  const std::size_t stack =
      tbb::global_control::active_value(tbb::global_control::thread_stack_size);
  if (stack != 0) ::pthread_attr_setstacksize(&attributes, stack);
  static std::mutex gate;
  std::vector<pthread_t> started;
  {
    const std::lock_guard<std::mutex> hold(gate);
    started.reserve(count);
    auto wait_for_gate = [](void*) -> void* {
      const std::lock_guard<std::mutex> pass(gate);
      return nullptr;
    };
    for (std::size_t i = 0; i < count; ++i) {
      pthread_t thread;
      if (::pthread_create(&thread, &attributes, wait_for_gate, nullptr) != 0) break;
      started.push_back(thread);
    }
  }
  for (const pthread_t thread : started) ::pthread_join(thread, nullptr);
  ::pthread_attr_destroy(&attributes);
  return started.size() == count;
}

// Whether work may go to the pool. Its threads are started lazily by the library, which ends
// the process when it cannot start one, and a wait on work queued for a thread that never came
// would never end. So the threads the pool may ask for are first made and joined here; until
// that succeeds (under a limit on threads or on memory), the calling thread does all the work
// by itself, to the same results. Once it has succeeded the pool is used for good: the library
// keeps the threads it starts then for the life of the process.
bool pool_usable() {
  static std::atomic<bool> usable{false};
  if (usable.load(std::memory_order_acquire)) return true;
  static std::mutex probing;
  const std::lock_guard<std::mutex> one_at_a_time(probing);
  if (usable.load(std::memory_order_relaxed)) return true;
  if (!threads_can_start(static_cast<std::size_t>(arena().max_concurrency()) - 1)) return false;
  usable.store(true, std::memory_order_release);
  return true;
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
  if (chunks == 1 || !pool_usable()) {
    for (std::size_t c = 0; c < chunks; ++c) run_chunk(c);
  } else {
    arena().execute([&] {
      tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) { run_chunk(c); });
    });
  }
  for (auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

// The body runs once, on whichever thread takes it first: a worker of the pool, or the thread
// that waits for it. A wait thus never depends on a worker coming for work not yet started.
struct Background::Group {
  explicit Group(std::function<void()> work) : body(std::move(work)) {}

  void take() {
    if (taken.exchange(true, std::memory_order_acq_rel)) return;
    try {
      body();
    } catch (...) {
      error = std::current_exception();
    }
  }

  std::function<void()> body;
  std::atomic<bool> taken{false};
  std::exception_ptr error;  // read once the body has run
  bool on_pool = false;
  tbb::task_group tasks;
};

Background::Background(std::function<void()> body)
    : group_(std::make_unique<Group>(std::move(body))) {
  Group* group = group_.get();
  group->on_pool = pool_usable();
  if (group->on_pool) {
    arena().execute([group] { group->tasks.run([group] { group->take(); }); });
  } else {
    group->take();
  }
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
  group_->take();
  // The task may still be queued, or running on a worker that took the body first.
  if (group_->on_pool) arena().execute([&] { group_->tasks.wait(); });
  if (group_->error) std::rethrow_exception(group_->error);
}

}  // namespace quib::ingest::worker_pool
