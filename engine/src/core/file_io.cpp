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

// Creates a fresh temporary file beside `path`.
FileDescriptor create_temporary(const std::string& path, std::string& temporary) {
  static std::atomic<std::uint64_t> counter{0};
  for (;;) {
    temporary = temporary_prefix(path) + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return FileDescriptor(fd);
    if (errno != EEXIST) throw_errno();
  }
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
  FileDescriptor directory(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) throw_errno();
  // Some file systems cannot sync a directory; the rename itself has still happened.
  if (::fsync(directory.get()) != 0 && errno != EINVAL) throw_errno();
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
