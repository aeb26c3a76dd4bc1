// The POSIX file work that storage and ingestion share: an owned descriptor, reading a whole
// file, writing a whole buffer, replacing a file atomically, and directories.
//
// Every failure throws `quib::Error` with the operating system's error and no context of its
// own: callers name the step (`with_context`), so the messages stay theirs.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace quib::core {

// An owned descriptor: closed on every path out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting the failure that a destructor would have to swallow.
  void close();

 private:
  int fd_;
};

// Opens `path` for reading.
FileDescriptor open_for_reading(const std::string& path);
// Everything left to read from `file`, in one buffer sized from the file's length when known.
std::string read_to_end(const FileDescriptor& file);

// Writes all of `bytes`, repeating short writes; `done` receives how many bytes reached the
// file, also when an error is thrown.
void write_all(int fd, std::string_view bytes, std::size_t& done);
void write_all(int fd, std::string_view bytes);

// Replaces the file at `path` with `bytes` so that a crash or a full disk leaves either the old
// or the new file whole: a temporary beside it is written, synced and renamed over it, and the
// directory is synced. The new file takes mode 0o666 before the umask.
void replace_file(const std::string& path, std::string_view bytes);
// Removes temporaries that an interrupted `replace_file` of `path` left beside it. Only safe
// while no other writer can be replacing the file.
void remove_stale_temporaries(const std::string& path);

// Creates `path` and every missing parent (mode 0o777 before the umask); an existing directory
// is no error.
void create_dir_all(const std::string& path);
// `dir` joined with `name` by one "/" (none added when `dir` already ends with one).
std::string join_path(const std::string& dir, std::string_view name);

}  // namespace quib::core
