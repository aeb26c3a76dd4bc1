// Binary record encoding: byte layouts, round trips, and every refusal of the decoder.
#include "storage/codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "sample_records.h"

namespace quib::storage::codec {
namespace {

using namespace quib::storage::samples;

using Bytes = std::vector<std::uint8_t>;

const std::string kEndOfInput = "io error: unexpected end of file";

void append_u32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void append_u64(Bytes& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void append_f64(Bytes& out, double value) { append_u64(out, std::bit_cast<std::uint64_t>(value)); }
void append_text(Bytes& out, std::string_view text) {
  append_u64(out, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

template <typename Record>
std::string decode_error(const Bytes& bytes) {
  try {
    decode<Record>(bytes);
  } catch (const Error& error) {
    return error.full();
  }
  ADD_FAILURE() << "decoding succeeded";
  return {};
}

TEST(CodecLayout, NewDatabaseMetaFileIs61Bytes) {
  MetaFile meta;
  meta.raw_log_enabled = true;
  Bytes expected(24, 0);
  append_u64(expected, 1);
  append_u64(expected, 1);
  append_u64(expected, 1);
  append_u32(expected, 3);
  expected.push_back(1);
  append_u64(expected, 0);
  ASSERT_EQ(expected.size(), 61u);
  EXPECT_EQ(encode(meta), expected);
}

TEST(CodecLayout, EmptyFileRecordsAreZeroCounts) {
  EXPECT_EQ(encode(DistIndex{}), Bytes(8, 0));
  EXPECT_EQ(encode(SnapshotStore{}), Bytes(8, 0));
  EXPECT_EQ(encode(DistributionFile{}), Bytes(16, 0));
}

TEST(CodecLayout, ContinuousTypeOptionalRange) {
  core::VariableType no_range{core::VariableType::Continuous{10, std::nullopt}};
  EXPECT_EQ(encode(no_range), (Bytes{0, 0, 0, 0, 10, 0, 0, 0, 0}));

  core::VariableType with_range{core::VariableType::Continuous{10, std::pair{0.0, 1.0}}};
  Bytes expected{0, 0, 0, 0, 10, 0, 0, 0, 1};
  append_f64(expected, 0.0);
  append_f64(expected, 1.0);
  EXPECT_EQ(encode(with_range), expected);
}

TEST(CodecLayout, DimensionGranularityIsAnOptionalText) {
  Bytes without = encode(core::DimensionDefinition{"d", "c", std::nullopt});
  EXPECT_EQ(without.back(), 0);
  EXPECT_EQ(without.size(), 8u + 1 + 8 + 1 + 1);

  Bytes with = encode(core::DimensionDefinition{"d", "c", std::string("daily")});
  Bytes tail{1};
  append_text(tail, "daily");
  ASSERT_GE(with.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), with.end() - tail.size()));
}

TEST(CodecLayout, HistogramOfThreeBinsIs60Bytes) {
  Bytes expected;
  append_u32(expected, 0);
  append_f64(expected, 0.0);
  append_f64(expected, 1.0);
  append_u64(expected, 3);
  append_u64(expected, 1);
  append_u64(expected, 0);
  append_u64(expected, 4);
  append_u64(expected, 5);
  EXPECT_EQ(expected.size(), 60u);
  EXPECT_EQ(encode(histogram({1, 0, 4})), expected);
}

// Every file record: round trip, every strict prefix refused as end of input, trailing bytes
// ignored.
template <typename Record>
class CodecRecordTest : public ::testing::Test {};

TYPED_TEST_SUITE(CodecRecordTest, FileRecords);

TYPED_TEST(CodecRecordTest, RoundTrips) {
  const TypeParam record = sample<TypeParam>();
  EXPECT_EQ(decode<TypeParam>(encode(record)), record);
  EXPECT_EQ(decode<TypeParam>(encode(TypeParam{})), TypeParam{});
}

TYPED_TEST(CodecRecordTest, EveryTruncationIsEndOfInput) {
  const Bytes bytes = encode(sample<TypeParam>());
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    ASSERT_EQ(decode_error<TypeParam>(prefix), kEndOfInput) << "length " << length;
  }
}

TYPED_TEST(CodecRecordTest, TrailingBytesAreIgnored) {
  Bytes bytes = encode(sample<TypeParam>());
  bytes.insert(bytes.end(), {0xFF, 0x00, 0x7A});
  EXPECT_EQ(decode<TypeParam>(bytes), sample<TypeParam>());
}

TEST(CodecValues, NanEntropyRoundTripsBitForBit) {
  core::DistributionObject object = distribution(1, "x", {}, histogram({1}));
  const double nan = std::bit_cast<double>(std::uint64_t{0x7FF80000DEADBEEF});
  object.entropy = nan;
  const auto decoded = decode<core::DistributionObject>(encode(object));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(decoded.entropy), std::bit_cast<std::uint64_t>(nan));
  object.entropy = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(decode<core::DistributionObject>(encode(object)).entropy, object.entropy);
}

TEST(CodecValues, DimensionKeyIsSortedAndLaterDuplicateWins) {
  Bytes bytes;
  append_u64(bytes, 3);
  append_text(bytes, "year");
  append_text(bytes, "2024");
  append_text(bytes, "region");
  append_text(bytes, "EU");
  append_text(bytes, "year");
  append_text(bytes, "2025");
  const auto key = decode<core::DimensionKey>(bytes);
  EXPECT_EQ(key, (core::DimensionKey{{"region", "EU"}, {"year", "2025"}}));
  EXPECT_EQ(encode(key).size(), 8u + (8 + 6 + 8 + 2) + (8 + 4 + 8 + 4));
}

TEST(CodecValues, IndexDuplicateKeyKeepsLaterId) {
  Bytes bytes;
  append_u64(bytes, 2);
  append_text(bytes, "x|");
  append_u64(bytes, 3);
  append_text(bytes, "x|");
  append_u64(bytes, 7);
  EXPECT_EQ(decode<DistIndex>(bytes).by_key, (decltype(DistIndex::by_key){{"x|", 7}}));
}

TEST(CodecRefusals, BoolOptionAndVariantBytes) {
  Bytes meta = encode(MetaFile{});
  meta[24 + 24 + 4] = 2;  // raw_log_enabled
  EXPECT_EQ(decode_error<MetaFile>(meta),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");

  Bytes continuous{0, 0, 0, 0, 10, 0, 0, 0, 7};
  EXPECT_EQ(decode_error<core::VariableType>(continuous), "tag for enum is not valid, found 7");

  EXPECT_EQ(decode_error<core::VariableType>(Bytes{2, 0, 0, 0}),
            "invalid value: integer `2`, expected variant index 0 <= i < 2");
  EXPECT_EQ(decode_error<core::DistributionRepr>(Bytes{0xFF, 0xFF, 0xFF, 0xFF}),
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 2");
  EXPECT_EQ(decode_error<core::JointRepr>(Bytes{3, 0, 0, 0}),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
}

struct Utf8Case {
  std::string bytes;
  std::string message;
};

class CodecUtf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(CodecUtf8Test, RefusesMalformedText) {
  Bytes bytes;
  append_u64(bytes, 1);
  append_text(bytes, "ok");
  append_text(bytes, GetParam().bytes);
  EXPECT_EQ(decode_error<core::DimensionKey>(bytes),
            "string is not valid utf8: " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CodecUtf8Test,
    ::testing::Values(
        Utf8Case{"a\xFF" "b", "invalid utf-8 sequence of 1 bytes from index 1"},
        Utf8Case{"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"ab\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
        Utf8Case{"\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 0"},
        Utf8Case{"\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xF0\x90\x80" "A", "invalid utf-8 sequence of 3 bytes from index 0"},
        Utf8Case{"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xC3\xA9\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2"}));

TEST(CodecRefusals, ValidMultibyteTextIsAccepted) {
  Bytes bytes;
  append_u64(bytes, 1);
  append_text(bytes, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  append_text(bytes, "\xEF\xBF\xBF");
  EXPECT_EQ(decode<core::DimensionKey>(bytes).size(), 1u);
}

TEST(CodecRefusals, HugeCountsEndInEndOfInput) {
  constexpr std::uint64_t kHuge = std::uint64_t{1} << 60;
  for (std::uint64_t count : {kHuge, std::uint64_t{1} << 33, ~std::uint64_t{0}}) {
    Bytes bin_counts{0, 0, 0, 0};  // Histogram
    append_f64(bin_counts, 0.0);
    append_f64(bin_counts, 1.0);
    append_u64(bin_counts, count);
    append_u64(bin_counts, 1);
    EXPECT_EQ(decode_error<core::DistributionRepr>(bin_counts), kEndOfInput);

    Bytes distributions;
    append_u64(distributions, count);
    append_u64(distributions, 1);
    EXPECT_EQ(decode_error<DistributionFile>(distributions), kEndOfInput);

    Bytes categories{1, 0, 0, 0};  // Categorical
    append_u64(categories, count);
    append_text(categories, "a");
    EXPECT_EQ(decode_error<core::DistributionRepr>(categories), kEndOfInput);

    Bytes text;
    append_u64(text, 1);
    append_u64(text, count);  // text length
    EXPECT_EQ(decode_error<DistIndex>(text), kEndOfInput);

    Bytes snapshots;
    append_u64(snapshots, count);
    append_text(snapshots, "k");
    append_u64(snapshots, count);
    EXPECT_EQ(decode_error<SnapshotStore>(snapshots), kEndOfInput);
  }
}

TEST(CodecRefusals, FirstFailingElementDecidesTheMessage) {
  // The list is longer than the input, but its second element fails on its own first.
  Bytes bytes;
  append_u64(bytes, 1000);
  append_text(bytes, "fine");
  append_text(bytes, "\xFF");
  Bytes categorical{1, 0, 0, 0};
  categorical.insert(categorical.end(), bytes.begin(), bytes.end());
  EXPECT_EQ(decode_error<core::VariableType>(categorical),
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0");
}

}  // namespace
}  // namespace quib::storage::codec
