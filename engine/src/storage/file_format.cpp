#include "storage/file_format.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "core/error.h"
#include "core/file_io.h"
#include "storage/codec.h"
#include "storage/json_form.h"

namespace quib::storage::file_format {

namespace {

using core::FileDescriptor;

constexpr std::uint8_t kMagic[4] = {0x51, 0x55, 0x49, 0x42};  // "QUIB"
constexpr std::size_t kHeaderSize = 8;
constexpr int kCompressionLevel = 3;

[[noreturn]] void throw_errno() { throw Error::from_errno(errno); }

void check_zstd(std::size_t code) {
  if (ZSTD_isError(code)) throw Error(ZSTD_getErrorName(code));
}

// Compresses what it is given into one zstd frame appended to `out`. Everything goes in with
// ZSTD_e_continue before the frame is ended, so the stream never learns the input size: the
// frame header then carries no content size, and the default parameters add no checksum. Only
// the compressed frame is held, never the whole input.
class ZstdFrameSink final : public codec::ByteSink {
 public:
  explicit ZstdFrameSink(std::vector<std::uint8_t>& out)
      : cctx_(ZSTD_createCCtx(), ZSTD_freeCCtx), out_(out), written_(out.size()) {
    if (!cctx_) throw Error("failed to create a compression context");
    check_zstd(ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, kCompressionLevel));
  }
  void write(std::span<const std::uint8_t> bytes) override { run(bytes, ZSTD_e_continue); }
  void finish() {
    run({}, ZSTD_e_end);
    out_.resize(written_);
  }

 private:
  void run(std::span<const std::uint8_t> input, ZSTD_EndDirective directive) {
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    for (;;) {
      // The output grows as the frame does.
      if (written_ == out_.size()) out_.resize(out_.size() + ZSTD_CStreamOutSize());
      ZSTD_outBuffer dst{out_.data(), out_.size(), written_};
      const std::size_t pending = ZSTD_compressStream2(cctx_.get(), &dst, &in, directive);
      check_zstd(pending);
      written_ = dst.pos;
      const bool done = directive == ZSTD_e_end ? pending == 0 : in.pos == in.size;
      if (done) return;
    }
  }

  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx_;
  std::vector<std::uint8_t>& out_;
  std::size_t written_;
};

// A zstd failure while a record is read from the stream. Not a `quib::Error`, so that the
// decoder's "deserialize" context never wraps it: it surfaces as a decompression error.
struct DecompressFailure {
  std::string message;
};

// Every frame of a version-3 payload, decompressed as the decoder asks for bytes. The window is
// one decoder output block; what is left after the record is decompressed into the same window
// and dropped, so that a damaged frame anywhere still fails the read, as it always has.
class FrameStream final : public codec::ByteSource {
 public:
  explicit FrameStream(std::span<const std::uint8_t> payload)
      : context_(ZSTD_createDCtx(), ZSTD_freeDCtx),
        in_{payload.data(), payload.size(), 0},
        window_(ZSTD_DStreamOutSize()) {
    if (!context_) throw DecompressFailure{"failed to create a decompression context"};
  }

  std::span<const std::uint8_t> refill(std::span<const std::uint8_t> unread) override {
    if (!unread.empty()) std::memmove(window_.data(), unread.data(), unread.size());
    const std::size_t produced =
        produce(window_.data() + unread.size(), window_.size() - unread.size());
    return {window_.data(), unread.size() + produced};
  }

  // Decompresses the rest of the payload into the window, checking it and keeping nothing.
  void drain() {
    while (produce(window_.data(), window_.size()) != 0) {
    }
  }

 private:
  // Up to `room` bytes into `out`; 0 once the last frame has ended. Data that ends inside a
  // frame is refused.
  std::size_t produce(std::uint8_t* out, std::size_t room) {
    ZSTD_outBuffer dst{out, room, 0};
    while (dst.pos < room && !finished_) {
      const std::size_t hint = ZSTD_decompressStream(context_.get(), &dst, &in_);
      if (ZSTD_isError(hint)) throw DecompressFailure{ZSTD_getErrorName(hint)};
      // With room left in the output, the decoder has flushed everything it could; a hint of 0
      // says the same when a frame ended exactly at the end of the output.
      if (in_.pos == in_.size && (dst.pos < room || hint == 0)) {
        if (hint != 0) throw DecompressFailure{"incomplete frame"};
        finished_ = true;
      }
    }
    return dst.pos;
  }

  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context_;
  ZSTD_inBuffer in_;
  std::vector<std::uint8_t> window_;
  bool finished_ = false;
};

// The record of a version-3 payload. A decoding error counts only when the payload decompresses
// whole: otherwise the decompression error is the one reported, as when the payload was
// decompressed before any decoding.
template <typename Record>
Record decode_frames(std::span<const std::uint8_t> payload, const std::string& path) {
  auto as_error = [&](const DecompressFailure& failure) {
    Error error(failure.message);
    error.add_context("zstd decompress " + path);
    return error;
  };
  try {
    FrameStream stream(payload);
    std::optional<Record> record;
    try {
      record.emplace(with_context([&] { return "deserialize " + path; },
                                  [&] { return codec::decode<Record>(stream); }));
    } catch (const Error&) {
      stream.drain();
      throw;
    }
    stream.drain();
    return std::move(*record);
  } catch (const DecompressFailure& failure) {
    throw as_error(failure);
  }
}

// The container of `record`: the header, then the record encoded straight into the compressor.
template <typename Record>
std::vector<std::uint8_t> container_bytes(const Record& record) {
  std::vector<std::uint8_t> file(kMagic, kMagic + 4);
  file.resize(kHeaderSize);
  codec::encode_fixed32(file.data() + 4, kWrittenVersion);
  with_context("zstd compress", [&] {
    ZstdFrameSink frame(file);
    codec::encode_to(record, frame);
    frame.finish();
  });
  return file;
}

// A read-only shared mapping of a whole file, unmapped on every path out of a scope.
class Mapping {
 public:
  Mapping(int fd, std::size_t size) : size_(size) {
    if (size_ == 0) return;  // nothing to map: an empty file is an empty byte sequence
    void* address = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) throw_errno();
    data_ = static_cast<const std::uint8_t*>(address);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  }
  std::span<const std::uint8_t> bytes() const { return {data_, data_ == nullptr ? 0 : size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_;
};

}  // namespace

template <typename Record>
void write_file(const std::string& path, const Record& record) {
  const std::vector<std::uint8_t> file = container_bytes(record);
  const std::string_view bytes(reinterpret_cast<const char*>(file.data()), file.size());
  with_context([&] { return "write file " + path; }, [&] { core::replace_file(path, bytes); });
}

template <typename Record>
void FileSet::add(const std::string& path, const Record& record) {
  const std::vector<std::uint8_t> file = container_bytes(record);
  const std::string_view bytes(reinterpret_cast<const char*>(file.data()), file.size());
  with_context([&] { return "write file " + path; }, [&] { replacement_.stage(path, bytes); });
}

void FileSet::replace_all() {
  try {
    replacement_.commit();
  } catch (Error& error) {
    error.add_context("write file " + replacement_.failed_path());
    if (!replacement_.restore_failure().empty()) {
      error.add_context("the earlier files could not all be put back (" +
                        replacement_.restore_failure() + ")");
    }
    throw;
  }
}

template <typename Record>
void ensure_file(const std::string& path, const Record& default_record) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return;
  write_file(path, default_record);
}

template <typename Record>
Record read_file(const std::string& path) {
  const std::string bytes = with_context([&] { return "read file " + path; }, [&] {
    return core::read_to_end(core::open_for_reading(path));
  });
  return deserialize_bytes<Record>(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), path);
}

template <typename Record>
Record deserialize_bytes(std::span<const std::uint8_t> bytes, const std::string& path) {
  auto decode = [&](std::span<const std::uint8_t> encoded) {
    return with_context([&] { return "deserialize " + path; },
                        [&] { return codec::decode<Record>(encoded); });
  };
  if (bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), kMagic, 4) == 0) {
    const std::uint32_t version = codec::decode_fixed32(bytes.data() + 4);
    const auto payload = bytes.subspan(kHeaderSize);
    if (version > kWrittenVersion) {
      throw Error("file " + path + " has format version " + std::to_string(version) +
                  " but this build supports up to " + std::to_string(kWrittenVersion));
    }
    if (version < kWrittenVersion) return decode(payload);
    return decode_frames<Record>(payload, path);
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return with_context([&] { return "parse " + path + " (tried binary and JSON)"; },
                      [&] { return json_form::from_json<Record>(text); });
}

DistributionFile read_file_mmap(const std::string& path) {
  const FileDescriptor file = with_context([&] { return "open file " + path; },
                                           [&] { return core::open_for_reading(path); });
  std::optional<Mapping> mapping;
  with_context([&] { return "mmap " + path; }, [&] {
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw_errno();
    mapping.emplace(file.get(), static_cast<std::size_t>(info.st_size));
  });
  return deserialize_bytes<DistributionFile>(mapping->bytes(), path);
}

#define QUIB_FILE_FORMAT_INSTANTIATE(Record)                              \
  template void write_file<Record>(const std::string&, const Record&);  \
  template void ensure_file<Record>(const std::string&, const Record&); \
  template Record read_file<Record>(const std::string&);                \
  template Record deserialize_bytes<Record>(std::span<const std::uint8_t>, const std::string&);

QUIB_FILE_FORMAT_INSTANTIATE(MetaFile)
QUIB_FILE_FORMAT_INSTANTIATE(DistributionFile)
QUIB_FILE_FORMAT_INSTANTIATE(DistIndex)
QUIB_FILE_FORMAT_INSTANTIATE(SnapshotStore)
template void write_file<DistIndexOf>(const std::string&, const DistIndexOf&);
template void FileSet::add<MetaFile>(const std::string&, const MetaFile&);
template void FileSet::add<DistributionFile>(const std::string&, const DistributionFile&);
template void FileSet::add<DistIndexOf>(const std::string&, const DistIndexOf&);
template void FileSet::add<SnapshotStore>(const std::string&, const SnapshotStore&);

#undef QUIB_FILE_FORMAT_INSTANTIATE

void ensure_snapshot_file(const std::string& path) { ensure_file(path, SnapshotStore{}); }

}  // namespace quib::storage::file_format
