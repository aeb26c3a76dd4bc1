/* Preloaded into a child process to stand in for a limit on threads, as a container's limit on
   process ids sets one: while THREAD_LIMIT_ALLOW threads (0 when unset) started through
   pthread_create are running, a further pthread_create fails with EAGAIN. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct start {
  void* (*routine)(void*);
  void* argument;
};

static int running;

static void* run_counted(void* data) {
  struct start start = *(struct start*)data;
  free(data);
  void* result = start.routine(start.argument);
  __atomic_fetch_sub(&running, 1, __ATOMIC_SEQ_CST);
  return result;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                   void* (*routine)(void*), void* argument) {
  const char* allow = getenv("THREAD_LIMIT_ALLOW");
  if (__atomic_add_fetch(&running, 1, __ATOMIC_SEQ_CST) > (allow ? atoi(allow) : 0)) {
    __atomic_fetch_sub(&running, 1, __ATOMIC_SEQ_CST);
    return EAGAIN;
  }
  struct start* start = malloc(sizeof *start);
  int error = EAGAIN;
  if (start != NULL) {
    start->routine = routine;
    start->argument = argument;
    create_fn next = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    error = next(thread, attributes, run_counted, start);
    if (error != 0) free(start);
  }
  if (error != 0) __atomic_fetch_sub(&running, 1, __ATOMIC_SEQ_CST);
  return error;
}
