// Random and mutated buffers through the container decoder of every file record: whatever the
// bytes, decoding either returns a record or throws `quib::Error`; it never crashes, never
// throws anything else and never allocates on the strength of a damaged count.
#include <gtest/gtest.h>
#include <zstd.h>

#include <random>

#include "sample_records.h"
#include "storage/codec.h"
#include "storage/file_format.h"
#include "storage/json_form.h"

namespace quib::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

using namespace quib::storage::samples;

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }

  Bytes random_bytes() {
    Bytes out(below(256));
    // Mostly small bytes, so that counts, tags and variant indices are often plausible.
    for (auto& b : out) b = static_cast<std::uint8_t>(below(4) == 0 ? rng_() : below(4));
    return out;
  }

  Bytes mutate(Bytes bytes) {
    const std::size_t edits = 1 + below(4);
    for (std::size_t e = 0; e < edits; ++e) {
      const std::size_t at = below(bytes.size() + 1);
      switch (below(6)) {
        case 0:  // flip a byte
          if (at < bytes.size()) bytes[at] ^= static_cast<std::uint8_t>(1 + below(255));
          break;
        case 1:  // truncate
          bytes.resize(at);
          break;
        case 2:  // insert a byte
          bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       static_cast<std::uint8_t>(rng_()));
          break;
        case 3:  // delete a byte
          if (at < bytes.size()) bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        default: {  // overwrite eight bytes with a count that no input could hold
          static constexpr std::uint64_t kHuge[] = {std::uint64_t{1} << 60,
                                                    std::uint64_t{1} << 32, ~std::uint64_t{0},
                                                    1'000'000, 131'072};
          const std::uint64_t value = kHuge[below(std::size(kHuge))];
          for (int i = 0; i < 8 && at + static_cast<std::size_t>(i) < bytes.size(); ++i) {
            bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
          }
        }
      }
    }
    return bytes;
  }

 private:
  std::mt19937_64 rng_;
};

Bytes with_header(std::uint32_t version, const Bytes& payload) {
  Bytes out{0x51, 0x55, 0x49, 0x42};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(version >> (8 * i)));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes compressed(const Bytes& input) {
  Bytes out(ZSTD_compressBound(input.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), input.data(), input.size(), 1));
  return out;
}

// Decodes through the container entry point; true when a record came back.
template <typename Record>
bool survives(const Bytes& bytes, Record* decoded = nullptr) {
  try {
    Record record = file_format::deserialize_bytes<Record>(bytes, "fuzz");
    if (decoded != nullptr) *decoded = std::move(record);
    return true;
  } catch (const Error&) {
    return false;
  }
}

template <typename Record>
class CodecFuzzTest : public ::testing::Test {};
TYPED_TEST_SUITE(CodecFuzzTest, FileRecords);

constexpr int kRounds = 3000;

TYPED_TEST(CodecFuzzTest, BinaryBuffersNeverCrash) {
  Mutator mutator(0x5EED0001);
  const Bytes encoded = codec::encode(sample<TypeParam>());
  int decoded_count = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::uint32_t version = static_cast<std::uint32_t>(mutator.below(3));
    decoded_count += survives<TypeParam>(with_header(version, mutator.random_bytes()));

    const Bytes mutated = mutator.mutate(encoded);
    TypeParam record;
    if (survives<TypeParam>(with_header(version, mutated), &record)) {
      ++decoded_count;
      // Whatever decodes must encode and decode again to the same bytes (no hash maps here).
      if constexpr (std::is_same_v<TypeParam, MetaFile> ||
                    std::is_same_v<TypeParam, DistributionFile>) {
        const Bytes again = codec::encode(record);
        ASSERT_EQ(codec::encode(codec::decode<TypeParam>(again)), again);
      }
    }
  }
  EXPECT_GT(decoded_count, 0);
}

TYPED_TEST(CodecFuzzTest, CompressedBuffersNeverCrash) {
  Mutator mutator(0x5EED0002);
  const Bytes encoded = codec::encode(sample<TypeParam>());
  const Bytes frame = compressed(encoded);
  for (int round = 0; round < kRounds / 3; ++round) {
    survives<TypeParam>(with_header(3, compressed(mutator.mutate(encoded))));
    survives<TypeParam>(with_header(3, mutator.mutate(frame)));
  }
  EXPECT_TRUE(survives<TypeParam>(with_header(3, frame)));
}

TYPED_TEST(CodecFuzzTest, JsonBuffersNeverCrash) {
  Mutator mutator(0x5EED0003);
  const std::string text = json_form::to_json(sample<TypeParam>());
  const Bytes json(text.begin(), text.end());
  ASSERT_TRUE(survives<TypeParam>(json));
  for (int round = 0; round < kRounds; ++round) {
    survives<TypeParam>(mutator.mutate(json));
  }
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(survives<TypeParam>(Bytes(deep.begin(), deep.end())));
}

}  // namespace
}  // namespace quib::storage
