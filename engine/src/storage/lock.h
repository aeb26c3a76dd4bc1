// The lock file `lock.edb`: keeps two read-write opens of one database directory apart.
//
// A `DatabaseLock` holds an exclusive advisory `flock` on the file from `acquire` until it is
// destroyed. Between processes a second `acquire` waits without a time limit. Within one process
// a second `acquire` for the same directory could never be granted while the first holder lives
// (often on the same thread), so it fails at once instead; a process-wide registry of the
// directories this process holds makes that check. A child made by fork shares the parent's
// locked file description: a `DatabaseLock` destroyed in any process but the one that acquired it
// only closes its descriptor, so the parent's lock stays held.
#pragma once

#include <string>
#include <sys/types.h>

namespace quib::storage {

class DatabaseLock {
 public:
  // Opens (creating when missing, mode 0o666, never truncating) and locks the file at `path`.
  static DatabaseLock acquire(const std::string& path);

  DatabaseLock(DatabaseLock&& other) noexcept;
  DatabaseLock& operator=(DatabaseLock&& other) noexcept;
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;
  // Unlocks (a failure is ignored) and closes; the file stays on disk.
  ~DatabaseLock();

 private:
  DatabaseLock(int fd, dev_t dir_dev, ino_t dir_ino, pid_t owner)
      : fd_(fd), dir_dev_(dir_dev), dir_ino_(dir_ino), owner_(owner) {}
  void release() noexcept;

  int fd_ = -1;
  // The directory holding the lock file, as registered for this process.
  dev_t dir_dev_ = 0;
  ino_t dir_ino_ = 0;
  pid_t owner_ = 0;  // the process that acquired the lock
};

}  // namespace quib::storage
