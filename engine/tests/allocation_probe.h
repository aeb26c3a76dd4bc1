// Replaces the global allocation functions of the one test executable whose source includes this
// header (include it from that file only). Every allocation is counted in bytes, and when armed
// the countdown-th allocation of at least `g_threshold` bytes fails with std::bad_alloc.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace quib::allocation_probe {

inline std::atomic<std::size_t> g_allocated{0};
inline std::atomic<long> g_countdown{0};
inline std::atomic<std::size_t> g_threshold{0};
inline std::atomic<bool> g_fired{false};

inline void* allocate(std::size_t size) {
  g_allocated.fetch_add(size, std::memory_order_relaxed);
  if (size >= g_threshold.load(std::memory_order_relaxed) &&
      g_countdown.load(std::memory_order_relaxed) > 0 && g_countdown.fetch_sub(1) == 1) {
    g_fired = true;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace quib::allocation_probe

// Here operator new is malloc, so freeing what it returned is the matching release; the compiler
// cannot know that once the functions are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) { return quib::allocation_probe::allocate(size); }
void* operator new[](std::size_t size) { return quib::allocation_probe::allocate(size); }
// The non-throwing forms (std::stable_sort's buffer takes one) answer a failure with null.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return quib::allocation_probe::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop
