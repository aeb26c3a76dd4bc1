// Container files: the header and frame that are written, every version that is read, the
// JSON fallback, the context of every failure, and what a failed write leaves on disk.
#include "storage/file_format.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zstd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "sample_records.h"
#include "storage/codec.h"

namespace quib::storage::file_format {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class FileFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("quib_file_format_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static Bytes slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static void spit(const std::string& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(dir_)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

  fs::path dir_;
};

template <typename Fn>
std::string failure(Fn&& fn) {
  try {
    fn();
  } catch (const Error& error) {
    return error.full();
  }
  ADD_FAILURE() << "no error";
  return {};
}

Bytes header(std::uint32_t version) {
  Bytes out{0x51, 0x55, 0x49, 0x42};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(version >> (8 * i)));
  return out;
}

Bytes zstd_frame(const Bytes& input) {
  Bytes out(ZSTD_compressBound(input.size()));
  const std::size_t n = ZSTD_compress(out.data(), out.size(), input.data(), input.size(), 1);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using namespace quib::storage::samples;

template <typename Record>
class FileRecordTest : public FileFormatTest {};
TYPED_TEST_SUITE(FileRecordTest, FileRecords);

TYPED_TEST(FileRecordTest, WrittenFileIsOneFrameWithoutChecksumOrContentSize) {
  const std::string file = this->path("record.edb");
  write_file(file, sample<TypeParam>());
  const Bytes bytes = this->slurp(file);
  ASSERT_GT(bytes.size(), 8u + 6);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), header(3));

  const std::span<const std::uint8_t> frame(bytes.data() + 8, bytes.size() - 8);
  EXPECT_EQ((Bytes{frame[0], frame[1], frame[2], frame[3]}), (Bytes{0x28, 0xB5, 0x2F, 0xFD}));
  const std::uint8_t descriptor = frame[4];
  EXPECT_EQ(descriptor & 0xC0, 0) << "content size field";
  EXPECT_EQ(descriptor & 0x20, 0) << "single segment (implies a content size)";
  EXPECT_EQ(descriptor & 0x04, 0) << "content checksum";
  EXPECT_EQ(descriptor & 0x03, 0) << "dictionary id";
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());

  EXPECT_EQ(read_file<TypeParam>(file), sample<TypeParam>());
}

TYPED_TEST(FileRecordTest, EveryVersionReadsBack) {
  const Bytes encoded = codec::encode(sample<TypeParam>());
  for (std::uint32_t version : {0u, 1u, 2u}) {
    const std::string file = this->path(std::string("v") + std::to_string(version));
    this->spit(file, concat(concat(header(version), encoded), Bytes{0xAB, 0xCD}));
    EXPECT_EQ(read_file<TypeParam>(file), sample<TypeParam>()) << "version " << version;
  }
  // Version 3 made of two frames, the record split between them, then a trailing byte inside
  // the decompressed data.
  const Bytes padded = concat(encoded, Bytes{0x00});
  const std::size_t half = padded.size() / 2;
  const Bytes first(padded.begin(), padded.begin() + static_cast<std::ptrdiff_t>(half));
  const Bytes second(padded.begin() + static_cast<std::ptrdiff_t>(half), padded.end());
  const Bytes two_frames = concat(concat(header(3), zstd_frame(first)), zstd_frame(second));
  EXPECT_EQ(deserialize_bytes<TypeParam>(two_frames, "x"), sample<TypeParam>());
}

// Encoding goes into the compressor a chunk at a time; the frame is still the one that the whole
// encoding fed in at once gives, with texts and counts across every chunk boundary.
TEST_F(FileFormatTest, ARecordOfManyChunksIsWrittenAsTheFrameOfItsWholeEncoding) {
  DistIndex index;
  for (std::uint64_t i = 0; i < 40000; ++i) {
    index.by_key["v|k:" + std::to_string(i * 7919) + std::string(i % 13, 'x')] = i;
  }
  index.by_key[std::string(600000, 'y')] = 1;  // one text longer than a chunk
  const Bytes encoded = codec::encode(index);
  ASSERT_GT(encoded.size(), std::size_t{1} << 20);

  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, 3);
  Bytes whole(ZSTD_compressBound(encoded.size()) + 64);
  ZSTD_inBuffer in{encoded.data(), encoded.size(), 0};
  ZSTD_outBuffer out{whole.data(), whole.size(), 0};
  while (in.pos < in.size) ZSTD_compressStream2(cctx.get(), &out, &in, ZSTD_e_continue);
  while (ZSTD_compressStream2(cctx.get(), &out, &in, ZSTD_e_end) != 0) {
  }
  whole.resize(out.pos);

  const std::string file = path("dist_index.edb");
  write_file(file, index);
  EXPECT_EQ(slurp(file), concat(header(3), whole));
}

// A record whose decoded bytes exactly fill the decompression buffer must not look cut short.
TEST_F(FileFormatTest, RecordFillingTheDecompressionBufferReadsBack) {
  for (const std::size_t encoded_size : {ZSTD_DStreamOutSize(), 2 * ZSTD_DStreamOutSize()}) {
    DistIndex index;
    index.by_key[std::string(encoded_size - 24, 'k')] = 7;  // count, length and id: 24 bytes
    ASSERT_EQ(codec::encode(index).size(), encoded_size);
    const std::string file = path("dist_index.edb");
    write_file(file, index);
    EXPECT_EQ(read_file<DistIndex>(file), index) << encoded_size;
  }
}

TEST_F(FileFormatTest, NewerVersionIsRefusedWithoutContext) {
  const Bytes encoded = codec::encode(MetaFile{});
  for (std::uint32_t version : {4u, 0xFFFFFFFFu}) {
    const std::string file = path("meta.edb");
    spit(file, concat(header(version), encoded));
    EXPECT_EQ(failure([&] { read_file<MetaFile>(file); }),
              "file " + file + " has format version " + std::to_string(version) +
                  " but this build supports up to 3");
  }
}

TEST_F(FileFormatTest, DecodingFailuresCarryTheirContext) {
  const Bytes encoded = codec::encode(sample_meta());
  const Bytes truncated(encoded.begin(), encoded.end() - 1);
  const Bytes frame = zstd_frame(encoded);
  const std::string p = "/db/meta.edb";
  auto error_of = [&](const Bytes& bytes) {
    return failure([&] { deserialize_bytes<MetaFile>(bytes, p); });
  };
  EXPECT_EQ(error_of(concat(header(2), truncated)),
            "deserialize /db/meta.edb: io error: unexpected end of file");
  EXPECT_EQ(error_of(concat(header(3), zstd_frame(truncated))),
            "deserialize /db/meta.edb: io error: unexpected end of file");
  EXPECT_EQ(error_of(concat(header(3), Bytes{1, 2, 3, 4, 5, 6, 7, 8})),
            "zstd decompress /db/meta.edb: Unknown frame descriptor");
  EXPECT_EQ(error_of(concat(header(3), Bytes(frame.begin(), frame.end() - 1))),
            "zstd decompress /db/meta.edb: incomplete frame");
  EXPECT_EQ(error_of(concat(concat(header(3), frame), Bytes{1, 2, 3, 4, 5, 6, 7, 8})),
            "zstd decompress /db/meta.edb: Unknown frame descriptor");
  EXPECT_EQ(error_of(concat(concat(header(3), frame), Bytes{0x28})),
            "zstd decompress /db/meta.edb: incomplete frame");
}

TEST_F(FileFormatTest, BuffersWithoutTheMagicAreParsedAsJson) {
  const std::string empty = path("distributions.edb");
  spit(empty, {});
  const std::string expected =
      "parse " + empty + " (tried binary and JSON): EOF while parsing a value at line 1 column 0";
  EXPECT_EQ(failure([&] { read_file<DistributionFile>(empty); }), expected);
  EXPECT_EQ(failure([&] { read_file_mmap(empty); }), expected);

  // Seven bytes of the header, or a foreign magic, are never tried as the binary encoding.
  const Bytes seven{0x51, 0x55, 0x49, 0x42, 3, 0, 0};
  EXPECT_NE(failure([&] { deserialize_bytes<DistIndex>(seven, "p"); })
                .find("parse p (tried binary and JSON): "),
            std::string::npos);
  const std::string text = R"({"by_key":{}})";
  const Bytes json(text.begin(), text.end());
  EXPECT_EQ(deserialize_bytes<DistIndex>(json, "p"), DistIndex{});
}

TEST_F(FileFormatTest, ReadFailuresNameThePath) {
  const std::string missing = path("missing.edb");
  EXPECT_EQ(failure([&] { read_file<MetaFile>(missing); }),
            "read file " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(failure([&] { read_file_mmap(missing); }),
            "open file " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(failure([&] { read_file<MetaFile>(dir_.string()); }),
            "read file " + dir_.string() + ": Is a directory (os error 21)");
  EXPECT_EQ(failure([&] { read_file_mmap(dir_.string()); }),
            "mmap " + dir_.string() + ": No such device (os error 19)");
}

TEST_F(FileFormatTest, MappedReadDecodesAnOwnedRecord) {
  const std::string file = path("distributions.edb");
  write_file(file, sample_distributions());
  const DistributionFile read = read_file_mmap(file);
  fs::remove(file);  // nothing of the record may refer to the unmapped file
  EXPECT_EQ(read, sample_distributions());
}

TEST_F(FileFormatTest, EnsureWritesOnlyWhereNothingExists) {
  const std::string meta = path("meta.edb");
  spit(meta, {'j', 'u', 'n', 'k'});
  ensure_file(meta, MetaFile{});
  EXPECT_EQ(slurp(meta), (Bytes{'j', 'u', 'n', 'k'}));

  const std::string index = path("dist_index.edb");
  ensure_file(index, sample_index());
  EXPECT_EQ(read_file<DistIndex>(index), sample_index());
  ensure_file(index, DistIndex{});
  EXPECT_EQ(read_file<DistIndex>(index), sample_index());

  const std::string snapshots = path("snapshots.edb");
  ensure_snapshot_file(snapshots);
  EXPECT_EQ(read_file<SnapshotStore>(snapshots), SnapshotStore{});
  EXPECT_EQ(names(), (std::vector<std::string>{"dist_index.edb", "meta.edb", "snapshots.edb"}));
}

TEST_F(FileFormatTest, WrittenFilesTakeTheUsualPermissions) {
  const mode_t old_mask = ::umask(022);
  write_file(path("meta.edb"), MetaFile{});
  ::umask(old_mask);
  struct stat info {};
  ASSERT_EQ(::stat(path("meta.edb").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(FileFormatTest, FailedWriteKeepsTheOldFileWhole) {
  const std::string file = path("distributions.edb");
  write_file(file, DistributionFile{});
  const Bytes before = slurp(file);

  // A file-size limit below the new file's size makes the write itself fail part-way.
  DistributionFile big;
  for (std::uint64_t id = 1; id <= 2000; ++id) {
    std::string variable(16, 'v');
    variable += std::to_string(id);
    big.distributions.push_back(core::DistributionObject::create(
        id, std::move(variable), {}, {core::DistributionRepr::Histogram{0, 1, {id}, id}}));
  }
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string message = failure([&] { write_file(file, big); });
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(message, "write file " + file + ": File too large (os error 27)");
  EXPECT_EQ(slurp(file), before);
  EXPECT_EQ(names(), std::vector<std::string>{"distributions.edb"});

  write_file(file, big);
  EXPECT_EQ(read_file<DistributionFile>(file), big);
  EXPECT_EQ(names(), std::vector<std::string>{"distributions.edb"});
}

TEST_F(FileFormatTest, WriteIntoAMissingDirectoryFails) {
  const std::string file = path("gone/meta.edb");
  EXPECT_EQ(failure([&] { write_file(file, MetaFile{}); }),
            "write file " + file + ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace quib::storage::file_format
