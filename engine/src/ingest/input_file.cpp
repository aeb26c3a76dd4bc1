#include "ingest/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/error.h"
#include "core/file_descriptor.h"

namespace quib::ingest::input_file {
namespace {

using core::FileDescriptor;

Error os_error(int errnum, std::string_view context) {
  Error error = Error::from_errno(errnum);
  error.add_context(std::string(context));
  return error;
}

}  // namespace

std::string read_all(const std::string& path, std::string_view open_context,
                     std::string_view read_context) {
  with_context(open_context, [&] { check_path_bytes(path); });
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) throw os_error(errno, open_context);

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
      throw os_error(errno, read_context);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  content.resize(used);
  return content;
}

std::size_t utf8_valid_up_to(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Most input is ASCII: skip it eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned char b0 = s[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;  // no overlong forms
      if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return i;
    }
    if (i + len > n) return i;
    if (s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return i;
    }
    i += len;
  }
  return n;
}

std::vector<std::size_t> line_pieces(std::string_view text, std::size_t pieces) {
  std::vector<std::size_t> bounds{0};
  for (std::size_t k = 1; k < pieces; ++k) {
    const std::size_t newline = text.find('\n', std::max(text.size() / pieces * k, bounds.back()));
    if (newline == std::string_view::npos) break;
    bounds.push_back(newline + 1);
  }
  bounds.push_back(text.size());
  return bounds;
}

}  // namespace quib::ingest::input_file
