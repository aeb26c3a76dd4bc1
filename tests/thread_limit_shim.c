/* Preloaded into a child process to stand in for a limit on threads: the first
   THREAD_LIMIT_ALLOW calls of pthread_create (0 when unset) go through, every later one fails
   with EAGAIN, as under a container's limit on process ids. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

static int calls;

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                   void* (*start)(void*), void* argument) {
  const char* allow = getenv("THREAD_LIMIT_ALLOW");
  if (__atomic_fetch_add(&calls, 1, __ATOMIC_SEQ_CST) >= (allow ? atoi(allow) : 0)) {
    return EAGAIN;
  }
  create_fn next = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  return next(thread, attributes, start, argument);
}
