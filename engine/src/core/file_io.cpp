#include "core/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>

#include "core/error.h"

namespace quib::core {
namespace {

[[noreturn]] void throw_errno() { throw Error::from_errno(errno); }

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory holding `path`, for paths that name a file.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The parent of a directory path; trailing slashes name the same directory.
std::string parent_of(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string temporary_prefix(const std::string& path) { return path + ".tmp-"; }

// A name beside `path` that the stale-temporary sweep recognises; unique within the process.
std::string temporary_name(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  return temporary_prefix(path) + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// Creates a fresh temporary file beside `path`.
FileDescriptor create_temporary(const std::string& path, std::string& temporary) {
  for (;;) {
    temporary = temporary_name(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return FileDescriptor(fd);
    if (errno != EEXIST) throw_errno();
  }
}

// Syncs the directory holding `path`; some file systems cannot sync a directory, which is no
// failure.
void sync_directory_of(const std::string& path) {
  FileDescriptor directory(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) throw_errno();
  if (::fsync(directory.get()) != 0 && errno != EINVAL) throw_errno();
}

}  // namespace

void FileDescriptor::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw_errno();
}

FileDescriptor open_for_reading(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) throw_errno();
  return file;
}

std::string read_to_end(const FileDescriptor& file) {
  std::string content;
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    // One spare byte lets the final read see end of file without growing the buffer.
    content.resize(static_cast<std::size_t>(info.st_size) + 1);
  } else {
    content.resize(8192);
  }
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const ssize_t n = ::read(file.get(), content.data() + used, content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno();
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  content.resize(used);
  return content;
}

void write_all(int fd, std::string_view bytes, std::size_t& done) {
  done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno();
    }
    if (n == 0) throw Error("failed to write whole buffer");
    done += static_cast<std::size_t>(n);
  }
}

void write_all(int fd, std::string_view bytes) {
  std::size_t done = 0;
  write_all(fd, bytes, done);
}

void replace_file(const std::string& path, std::string_view bytes) {
  std::string temporary;
  FileDescriptor file = create_temporary(path, temporary);
  try {
    write_all(file.get(), bytes);
    if (::fsync(file.get()) != 0) throw_errno();
    file.close();
    if (::rename(temporary.c_str(), path.c_str()) != 0) throw_errno();
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  sync_directory_of(path);
}

FileSetReplacement::~FileSetReplacement() {
  for (const Staged& file : files_) {
    if (!file.temporary.empty()) ::unlink(file.temporary.c_str());
    if (!file.previous.empty()) ::unlink(file.previous.c_str());
  }
}

void FileSetReplacement::stage(const std::string& path, std::string_view bytes) {
  failed_path_ = path;
  Staged& file = files_.emplace_back();
  file.path = path;
  FileDescriptor written = create_temporary(path, file.temporary);
  write_all(written.get(), bytes);
  if (::fsync(written.get()) != 0) throw_errno();
  written.close();
}

// Without hard links (some file systems refuse them) the old file cannot be kept: a failure
// after the first rename then leaves the new file, and says so.
void FileSetReplacement::keep_previous(Staged& file) {
  for (;;) {
    file.previous = temporary_name(file.path);
    if (::link(file.path.c_str(), file.previous.c_str()) == 0) return;
    const int error = errno;
    if (error == EEXIST) continue;
    file.previous.clear();
    if (error == ENOENT) {
      file.absent = true;
      return;
    }
    if (error != EPERM && error != EOPNOTSUPP && error != ENOSYS && error != EMLINK) {
      throw Error::from_errno(error);
    }
    return;
  }
}

void FileSetReplacement::commit() {
  for (Staged& file : files_) {
    failed_path_ = file.path;
    keep_previous(file);
  }
  std::size_t replaced = 0;
  try {
    for (Staged& file : files_) {
      failed_path_ = file.path;
      if (::rename(file.temporary.c_str(), file.path.c_str()) != 0) throw_errno();
      file.temporary.clear();
      ++replaced;
    }
    if (!files_.empty()) sync_directory_of(files_.back().path);
  } catch (const Error&) {
    put_back(replaced);
    throw;
  }
}

// Renames the old files of the first `replaced` paths back, the last replaced first.
void FileSetReplacement::put_back(std::size_t replaced) {
  if (replaced == 0) return;
  auto failed = [this](const std::string& path, const Error& error) {
    if (restore_failure_.empty()) restore_failure_ = "put back " + path + ": " + error.full();
  };
  for (std::size_t i = replaced; i-- > 0;) {
    Staged& file = files_[i];
    const char* path = file.path.c_str();
    if (file.absent) {
      if (::unlink(path) != 0 && errno != ENOENT) failed(file.path, Error::from_errno(errno));
    } else if (file.previous.empty()) {
      failed(file.path, Error("the file system keeps no second link to the earlier file"));
    } else if (::rename(file.previous.c_str(), path) != 0) {
      failed(file.path, Error::from_errno(errno));
    } else {
      file.previous.clear();
    }
  }
  try {
    sync_directory_of(files_.front().path);
  } catch (const Error& error) {
    failed(directory_of(files_.front().path), error);
  }
}

void remove_stale_temporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string prefix = fs::path(temporary_prefix(path)).filename().string();
  std::error_code ec;
  for (fs::directory_iterator it(directory_of(path), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(prefix)) fs::remove(it->path(), ec);
  }
}

void create_dir_all(const std::string& path) {
  if (path.empty()) return;
  if (::mkdir(path.c_str(), 0777) == 0) return;
  int err = errno;
  if (err != ENOENT) {
    if (is_directory(path)) return;
    throw Error::from_errno(err);
  }
  const std::string parent = parent_of(path);
  if (parent.empty() || parent == path) throw Error::from_errno(err);
  create_dir_all(parent);
  if (::mkdir(path.c_str(), 0777) == 0) return;
  err = errno;
  if (is_directory(path)) return;
  throw Error::from_errno(err);
}

std::string join_path(const std::string& dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out += dir;
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace quib::core
