#include "storage/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include "core/error.h"

namespace quib::storage {
namespace {

// Directories whose lock this process holds, with the holder's process id: a child made by fork
// inherits a copy of the map but none of the holdings, so entries of another pid do not count.
struct LockRegistry {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, pid_t> held;
};

LockRegistry& registry() {
  static LockRegistry* instance = new LockRegistry();  // never destroyed: locks may outlive exit
  return *instance;
}

// Returns false when this process already holds the directory.
bool register_directory(dev_t dev, ino_t ino) {
  auto& reg = registry();
  std::lock_guard guard(reg.mutex);
  const pid_t self = getpid();
  auto [it, inserted] = reg.held.try_emplace({dev, ino}, self);
  if (!inserted) {
    if (it->second == self) return false;
    it->second = self;
  }
  return true;
}

void unregister_directory(dev_t dev, ino_t ino) {
  auto& reg = registry();
  std::lock_guard guard(reg.mutex);
  auto it = reg.held.find({dev, ino});
  if (it != reg.held.end() && it->second == getpid()) reg.held.erase(it);
}

std::string directory_of(const std::string& path) {
  std::string dir = std::filesystem::path(path).parent_path().string();
  return dir.empty() ? std::string(".") : dir;
}

}  // namespace

DatabaseLock DatabaseLock::acquire(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw Error::from_errno(errno).add_context("open lock file " + path);
  }
  auto fail = [fd](Error error) -> Error {
    ::close(fd);
    error.add_context("acquire exclusive lock");
    return error;
  };

  const std::string dir = directory_of(path);
  struct stat dir_stat {};
  if (::stat(dir.c_str(), &dir_stat) != 0) throw fail(Error::from_errno(errno));
  if (!register_directory(dir_stat.st_dev, dir_stat.st_ino)) {
    throw fail(Error("database directory " + dir + " is already open read-write in this process"));
  }

  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    unregister_directory(dir_stat.st_dev, dir_stat.st_ino);
    throw fail(Error::from_errno(err));
  }
  return DatabaseLock(fd, dir_stat.st_dev, dir_stat.st_ino, getpid());
}

DatabaseLock::DatabaseLock(DatabaseLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      dir_dev_(other.dir_dev_),
      dir_ino_(other.dir_ino_),
      owner_(other.owner_) {}

DatabaseLock& DatabaseLock::operator=(DatabaseLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    dir_dev_ = other.dir_dev_;
    dir_ino_ = other.dir_ino_;
    owner_ = other.owner_;
  }
  return *this;
}

DatabaseLock::~DatabaseLock() { release(); }

void DatabaseLock::release() noexcept {
  if (fd_ < 0) return;
  // An unlock acts on the file description that parent and forked child share.
  if (owner_ == getpid()) (void)::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  unregister_directory(dir_dev_, dir_ino_);
}

}  // namespace quib::storage
