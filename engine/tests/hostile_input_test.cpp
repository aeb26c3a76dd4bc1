// Containers crafted to make a reader allocate without bound, and the errors that a damaged
// frame must still give when the record is read as the frames are decompressed.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "storage/codec.h"
#include "storage/file_format.h"

namespace quib::storage {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void put_block_header(Bytes& out, bool last, unsigned type, std::uint32_t size) {
  const std::uint32_t header = (last ? 1u : 0u) | (type << 1) | (size << 3);
  for (int i = 0; i < 3; ++i) out.push_back(static_cast<std::uint8_t>(header >> (8 * i)));
}

// One zstd frame holding `prefix` and then `zeros` zero bytes, in raw and run-length blocks of
// at most 128 KiB: a few bytes per block, so gigabytes fit in a small file.
Bytes zero_frame(const Bytes& prefix, std::uint64_t zeros) {
  constexpr std::uint32_t kBlock = 1u << 17;
  Bytes out = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x38};  // magic; no content size; 128 KiB window
  put_block_header(out, zeros == 0, 0, static_cast<std::uint32_t>(prefix.size()));
  out.insert(out.end(), prefix.begin(), prefix.end());
  for (std::uint64_t at = 0; at < zeros; at += kBlock) {
    const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBlock, zeros - at));
    put_block_header(out, at + size == zeros, 1, size);
    out.push_back(0);
  }
  return out;
}

Bytes container(const Bytes& payload) {
  static constexpr std::uint8_t kHeader[] = {'Q', 'U', 'I', 'B', 3, 0, 0, 0};
  Bytes out(sizeof kHeader + payload.size());
  std::copy(std::begin(kHeader), std::end(kHeader), out.begin());
  std::copy(payload.begin(), payload.end(), out.begin() + sizeof kHeader);
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  const std::size_t size = a.size();
  a.resize(size + b.size());
  std::copy(b.begin(), b.end(), a.begin() + static_cast<std::ptrdiff_t>(size));
  return a;
}

MetaFile sample_meta() {
  MetaFile meta;
  meta.schema.variables.push_back({"price", {core::VariableType::Continuous{20, std::nullopt}}});
  meta.next_raw_record_id = 42;
  meta.raw_log_enabled = true;
  return meta;
}

TEST(HostileContainer, ARecordFollowedByAGigabyteOfZerosReadsInLittleMemory) {
  const std::string path = testing::TempDir() + "zeros_" + std::to_string(::getpid()) + ".edb";
  const Bytes file = container(zero_frame(codec::encode(sample_meta()), std::uint64_t{1} << 30));
  ASSERT_LT(file.size(), 64u << 10);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Room for the decoder's buffers, far from room for the decompressed gigabyte.
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::getpagesize()) +
                         (rlim_t{256} << 20);
    const rlimit cap{limit, limit};
    ::setrlimit(RLIMIT_AS, &cap);
    try {
      _exit(file_format::read_file<MetaFile>(path) == sample_meta() ? 0 : 1);
    } catch (...) {
      _exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  fs::remove(path);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another record, 2: the read failed";
}

// Which error a damaged version-3 payload gives, whether or not the record decodes first.
struct DamageCase {
  const char* name;
  Bytes payload;
  std::string error;  // without the path
};

class DamagedFrames : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedFrames, ReportTheDecompressionBeforeTheRecord) {
  try {
    file_format::deserialize_bytes<MetaFile>(container(GetParam().payload), "m.edb");
    FAIL() << GetParam().name << " was read";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(), GetParam().error) << GetParam().name;
  }
}

Bytes bad_bool_meta() {
  Bytes encoded = codec::encode(MetaFile{});
  encoded[encoded.size() - 9] = 2;  // raw_log_enabled
  return encoded;
}

Bytes without_last(Bytes bytes, std::size_t n) {
  bytes.resize(bytes.size() - n);
  return bytes;
}

const Bytes kJunk = {'j', 'u', 'n', 'k'};

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFrames,
    ::testing::Values(
        DamageCase{"junk after the frames", zero_frame(codec::encode(MetaFile{}), 1000) + kJunk,
                   "zstd decompress m.edb: Unknown frame descriptor"},
        DamageCase{"a frame cut short", without_last(zero_frame(codec::encode(MetaFile{}), 1 << 20), 3),
                   "zstd decompress m.edb: incomplete frame"},
        DamageCase{"a bad record in a good frame", zero_frame(bad_bool_meta(), 0),
                   "deserialize m.edb: invalid u8 while decoding bool, expected 0 or 1, found 2"},
        DamageCase{"a bad record before junk", zero_frame(bad_bool_meta(), 5) + kJunk,
                   "zstd decompress m.edb: Unknown frame descriptor"},
        DamageCase{"a record longer than the frames", zero_frame(Bytes(30, 0), 0),
                   "deserialize m.edb: io error: unexpected end of file"},
        DamageCase{"a text as long as a gigabyte of zeros",
                   zero_frame({1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 1 << 24),
                   "deserialize m.edb: io error: unexpected end of file"}));

}  // namespace
}  // namespace quib::storage
