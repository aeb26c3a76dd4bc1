/* Makes one chosen file-system call of a process fail, for the torture run's fault injection.
 *
 * Loaded with LD_PRELOAD. Of the calls of kind QUIB_FAULT_OP (write, fsync or rename) that touch
 * a path under QUIB_FAULT_DIR (an absolute directory), the QUIB_FAULT_AT-th fails with errno
 * QUIB_FAULT_ERRNO (default ENOSPC); every other call goes through unchanged. When the fault
 * fires, the file QUIB_FAULT_FIRED is created, so the driver knows that it did. At a normal exit,
 * the number of matching calls seen is written to the file QUIB_FAULT_SEEN when it is set, so a
 * run with QUIB_FAULT_AT=0 (no call fails) tells the driver how many there are to choose from. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { OP_NONE, OP_WRITE, OP_FSYNC, OP_RENAME };

static int fault_op = OP_NONE;
static long fault_at = 0;
static int fault_errno = ENOSPC;
static long seen = 0;
static char fault_dir[4096];
static size_t fault_dir_length = 0;
static const char* fired_path = NULL;
static const char* seen_path = NULL;

__attribute__((constructor)) static void read_settings(void) {
  const char* op = getenv("QUIB_FAULT_OP");
  const char* at = getenv("QUIB_FAULT_AT");
  const char* dir = getenv("QUIB_FAULT_DIR");
  const char* code = getenv("QUIB_FAULT_ERRNO");
  fired_path = getenv("QUIB_FAULT_FIRED");
  seen_path = getenv("QUIB_FAULT_SEEN");
  if (op == NULL || at == NULL || dir == NULL) return;
  if (strcmp(op, "write") == 0) fault_op = OP_WRITE;
  if (strcmp(op, "fsync") == 0) fault_op = OP_FSYNC;
  if (strcmp(op, "rename") == 0) fault_op = OP_RENAME;
  fault_at = atol(at);
  if (code != NULL) fault_errno = atoi(code);
  snprintf(fault_dir, sizeof fault_dir, "%s", dir);
  fault_dir_length = strlen(fault_dir);
}

__attribute__((destructor)) static void report_seen(void) {
  if (seen_path == NULL || fault_op == OP_NONE) return;
  char text[32];
  const int length = snprintf(text, sizeof text, "%ld\n", __atomic_load_n(&seen, __ATOMIC_SEQ_CST));
  const int fd = (int)syscall(SYS_openat, AT_FDCWD, seen_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (syscall(SYS_write, fd, text, (size_t)length) < 0) { /* the driver sees no count */ }
  syscall(SYS_close, fd);
}

static int under_dir(const char* path) {
  return path != NULL && strncmp(path, fault_dir, fault_dir_length) == 0 &&
         (path[fault_dir_length] == '/' || path[fault_dir_length] == '\0');
}

static int fd_under_dir(int fd) {
  char link[64];
  char target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  return under_dir(target);
}

/* Counts a matching call; true for the one that must fail. */
static int must_fail(int op, int matches) {
  if (fault_op != op || !matches) return 0;
  if (__atomic_add_fetch(&seen, 1, __ATOMIC_SEQ_CST) != fault_at) return 0;
  if (fired_path != NULL) {
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, fired_path, O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) syscall(SYS_close, fd);
  }
  errno = fault_errno;
  return 1;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t) = NULL;
  if (real == NULL) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  if (fault_op == OP_WRITE && must_fail(OP_WRITE, fd_under_dir(fd))) return -1;
  return real(fd, buffer, count);
}

int fsync(int fd) {
  static int (*real)(int) = NULL;
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  if (fault_op == OP_FSYNC && must_fail(OP_FSYNC, fd_under_dir(fd))) return -1;
  return real(fd);
}

int rename(const char* from, const char* to) {
  static int (*real)(const char*, const char*) = NULL;
  if (real == NULL) real = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  if (fault_op == OP_RENAME && must_fail(OP_RENAME, under_dir(to))) return -1;
  return real(from, to);
}
