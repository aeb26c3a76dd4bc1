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
#include <vector>

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
// Removes temporaries that an interrupted `replace_file` or `FileSetReplacement` of `path` left
// beside it. Only safe while no other writer can be replacing the file.
void remove_stale_temporaries(const std::string& path);

// Replaces several files of one directory so that a failure leaves either all the new files or
// all the old ones:
// - `stage` writes and syncs each new file as a temporary beside its path; nothing is replaced
//   yet, so a full disk fails here with every old file in place.
// - `commit` keeps a second link to each old file, renames the temporaries over their paths in
//   the order staged and syncs the directory. When a rename or that sync fails, the old files
//   are renamed back before the error is thrown; should that fail too, `restore_failure` holds
//   its error and the files may be mixed.
// `failed_path` names the file whose step failed (the last one for the directory sync). Every
// temporary and spare link left is removed on destruction. A crash at any moment leaves files
// that are each whole, and temporaries that `remove_stale_temporaries` clears.
class FileSetReplacement {
 public:
  FileSetReplacement() = default;
  FileSetReplacement(const FileSetReplacement&) = delete;
  FileSetReplacement& operator=(const FileSetReplacement&) = delete;
  ~FileSetReplacement();

  void stage(const std::string& path, std::string_view bytes);
  void commit();
  const std::string& failed_path() const { return failed_path_; }
  // Set only when a failed commit could not put every old file back.
  const std::string& restore_failure() const { return restore_failure_; }

 private:
  struct Staged {
    std::string path;
    std::string temporary;
    std::string previous;  // a second link to the old file, while there is one
    bool absent = false;   // there was no old file
  };
  void keep_previous(Staged& file);
  void put_back(std::size_t replaced);

  std::vector<Staged> files_;
  std::string failed_path_;
  std::string restore_failure_;
};

// Creates `path` and every missing parent (mode 0o777 before the umask); an existing directory
// is no error.
void create_dir_all(const std::string& path);
// `dir` joined with `name` by one "/" (none added when `dir` already ends with one).
std::string join_path(const std::string& dir, std::string_view name);

}  // namespace quib::core
