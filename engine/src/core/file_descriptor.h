// An owned POSIX file descriptor: closed on every path out of a scope.
#pragma once

#include <unistd.h>

#include <cerrno>

#include "core/error.h"

namespace quib::core {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting the failure that a destructor would have to swallow.
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw Error::from_errno(errno);
  }

 private:
  int fd_;
};

}  // namespace quib::core
