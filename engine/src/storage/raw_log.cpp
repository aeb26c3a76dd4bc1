#include "storage/raw_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "core/error.h"
#include "core/file_io.h"

namespace quib::storage {
namespace {

class SegmentFile {
 public:
  explicit SegmentFile(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)) {
    if (fd_.get() < 0) throw Error::from_errno(errno).add_context("open raw segment " + path);
    struct stat st {};
    // Where the file ended before this append; a failed write is cut back to a line boundary.
    end_ = ::fstat(fd_.get(), &st) == 0 ? static_cast<off_t>(st.st_size) : -1;
  }

  // Writes `bytes`, whose lines end at `line_ends`; returns how many lines reached the file whole
  // through `whole_lines`. On failure the partial line is removed again.
  void write_lines(std::string_view bytes, std::span<const std::size_t> line_ends,
                   std::size_t& whole_lines) {
    std::size_t done = 0;
    try {
      core::write_all(fd_.get(), bytes, done);
    } catch (Error& error) {
      whole_lines = 0;
      while (whole_lines < line_ends.size() && line_ends[whole_lines] <= done) ++whole_lines;
      const std::size_t kept = whole_lines == 0 ? 0 : line_ends[whole_lines - 1];
      if (done > kept && end_ >= 0) {
        (void)::ftruncate(fd_.get(), end_ + static_cast<off_t>(kept));
      }
      error.add_context("append raw line");
      throw;
    }
    whole_lines = line_ends.size();
    if (end_ >= 0) end_ += static_cast<off_t>(bytes.size());
  }

 private:
  core::FileDescriptor fd_;
  off_t end_ = -1;
};

}  // namespace

void begin_raw_line(std::string& out) { out += "{\"payload\":"; }

void end_raw_line(std::string& out, std::uint64_t record_id) {
  static constexpr std::string_view kMember = ",\"record_id\":";
  char end[kMember.size() + 24];  // one append per line
  std::copy(kMember.begin(), kMember.end(), end);
  char* p = std::to_chars(end + kMember.size(), end + sizeof end, record_id).ptr;
  *p++ = '}';
  *p++ = '\n';
  out.append(end, p);
}

void append_raw_line_text(std::string& out, std::uint64_t record_id, std::string_view payload) {
  begin_raw_line(out);
  out += payload;
  end_raw_line(out, record_id);
}

RawLog RawLog::open(const std::string& raw_dir) {
  with_context([&] { return "create raw dir " + raw_dir; }, [&] { core::create_dir_all(raw_dir); });
  std::string segment = core::join_path(raw_dir, "log_000001.raw");
  struct stat st {};
  if (::stat(segment.c_str(), &st) != 0) {
    const int fd = ::open(segment.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw Error::from_errno(errno).add_context("create " + segment);
    ::close(fd);
  }
  return RawLog(std::move(segment));
}

namespace {

// The record id at the end of a whole raw-log line, `...,"record_id":N}` and the line feed.
std::optional<std::uint64_t> record_id_at_end(std::string_view line_end) {
  constexpr std::string_view kMember = ",\"record_id\":";
  if (!line_end.ends_with("}\n")) return std::nullopt;
  const std::size_t member = line_end.rfind(kMember);
  if (member == std::string_view::npos) return std::nullopt;
  const char* first = line_end.data() + member + kMember.size();
  const char* last = line_end.data() + line_end.size() - 2;
  std::uint64_t id = 0;
  const auto [stop, error] = std::from_chars(first, last, id);
  if (error != std::errc() || stop != last || first == last) return std::nullopt;
  return id;
}

// Reads `size` bytes at `offset`; the range must lie inside the file.
std::string read_at(int fd, off_t offset, std::size_t size) {
  std::string bytes(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, bytes.data() + done, size - done,
                              offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error::from_errno(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace

std::optional<std::uint64_t> RawLog::recover() const {
  return with_context([&] { return "recover raw segment " + path_; }, [&] {
    const core::FileDescriptor file(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (file.get() < 0) {
      if (errno == ENOENT) return std::optional<std::uint64_t>();
      throw Error::from_errno(errno);
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) throw Error::from_errno(errno);
    // Back from the end, a piece at a time, to the last line feed: only a torn line is read.
    constexpr off_t kPiece = 1 << 16;
    off_t whole = 0;  // the length that holds only whole lines
    for (off_t end = st.st_size; end > 0 && whole == 0;) {
      const off_t begin = std::max<off_t>(0, end - kPiece);
      const std::string piece = read_at(file.get(), begin, static_cast<std::size_t>(end - begin));
      const std::size_t feed = piece.rfind('\n');
      if (feed != std::string::npos) whole = begin + static_cast<off_t>(feed) + 1;
      end = begin;
    }
    if (whole != st.st_size && ::ftruncate(file.get(), whole) != 0) {
      throw Error::from_errno(errno);
    }
    if (whole == 0) return std::optional<std::uint64_t>();
    // The id closes the line, so the last few dozen bytes hold it.
    const off_t tail = std::min<off_t>(whole, 64);
    return record_id_at_end(read_at(file.get(), whole - tail, static_cast<std::size_t>(tail)));
  });
}

void RawLog::append_lines(std::span<const RawLines> pieces, std::size_t& written) const {
  written = 0;
  if (pieces.empty()) return;
  SegmentFile file(path_);
  for (const RawLines& piece : pieces) {
    if (piece.line_ends.empty()) continue;
    std::size_t whole_lines = 0;
    try {
      file.write_lines(piece.text, piece.line_ends, whole_lines);
    } catch (...) {
      written += whole_lines;
      throw;
    }
    written += whole_lines;
  }
}

}  // namespace quib::storage
