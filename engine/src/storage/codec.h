// Binary record encoding: the positional byte form of every stored record inside a container file.
//
// Numbers are fixed-width little-endian, lengths and counts u64, enumeration variants a u32 index,
// optional values and bools one byte; there are no field names, tags or padding, so a reader must
// know which record it expects. Encoding goes out in chunks of a fixed size. Decoding trusts nothing it reads: every refusal is a `quib::Error` with a stable
// message, and a stored count never reserves more than 1 MiB up front, so a damaged count ends in
// the end-of-input error rather than a huge allocation. Decoded records own all their bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dimension_key.h"
#include "core/distribution.h"
#include "core/schema.h"
#include "storage/records.h"

namespace quib::storage::codec {

// ---- Fixed-width primitives: the one place that knows the byte order. ----

inline void encode_fixed32(std::uint8_t* dst, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void encode_fixed64(std::uint8_t* dst, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t decode_fixed32(const std::uint8_t* src) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | src[i];
  return value;
}

inline std::uint64_t decode_fixed64(const std::uint8_t* src) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | src[i];
  return value;
}

// Where an encoding delivers its bytes, a chunk at a time, in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(std::span<const std::uint8_t> bytes) = 0;
};

// Where a `Reader` gets more bytes once it has read all it was given: a stream that produces the
// record as it is read, so that memory follows the record rather than the stream's length.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next bytes of the stream, with `unread` (the end of the previous window, at most a few
  // bytes) moved to their front. No more bytes than `unread` means the stream has ended.
  virtual std::span<const std::uint8_t> refill(std::span<const std::uint8_t> unread) = 0;
};

// Reads values off the front of a byte span, or of a `ByteSource`, refusing anything the
// encoding cannot hold.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes)
      : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  explicit Reader(ByteSource& source) : source_(&source) {}

  // Inline: a file of many distributions reads tens of millions of them.
  std::uint8_t get_u8() { return *need(1); }
  std::uint32_t get_u32() { return decode_fixed32(need(4)); }
  std::uint64_t get_u64() { return decode_fixed64(need(8)); }
  double get_f64() { return std::bit_cast<double>(get_u64()); }
  bool get_bool();
  // The presence byte of an optional value.
  bool get_option_tag();
  // A variant index, refused unless below `variant_count`.
  std::uint32_t get_variant(std::uint32_t variant_count);
  // A length-prefixed UTF-8 text.
  std::string get_text();
  // The same into `text`, whose room is kept for the next one.
  void read_text(std::string& text);

  bool streaming() const { return source_ != nullptr; }
  // False when `count` values of `size` bytes cannot follow; a stream always may hold them.
  bool may_hold(std::uint64_t count, std::size_t size) const {
    return source_ != nullptr || count <= remaining() / size;
  }

 private:
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
  const std::uint8_t* need(std::size_t n) {
    if (remaining() < n) [[unlikely]] fill(n);
    const std::uint8_t* at = pos_;
    pos_ += n;
    return at;
  }
  // Makes at least `n` bytes (a fixed-width value at most) readable, or fails at the end.
  void fill(std::size_t n);

  const std::uint8_t* pos_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  ByteSource* source_ = nullptr;
};

// How many elements of `element_size` bytes a list may reserve on the strength of its count.
inline std::size_t bounded_reservation(std::uint64_t count, std::size_t element_size) {
  constexpr std::size_t kMaxReservedBytes = std::size_t{1} << 20;
  const std::size_t cap = kMaxReservedBytes / (element_size == 0 ? 1 : element_size);
  return count < cap ? static_cast<std::size_t>(count) : cap;
}

// ---- Records. ----

// Encodes `record` into `sink` through one buffer of a fixed size, so that the memory an
// encoding takes does not grow with the record. Defined for the four file records and every
// record nested in them.
template <typename Record>
void encode_to(const Record& record, ByteSink& sink);
// The encoded bytes of a record as one buffer.
template <typename Record>
std::vector<std::uint8_t> encode(const Record& record);

// The record decoded from the front of `bytes`; bytes after it are ignored.
template <typename Record>
Record decode(std::span<const std::uint8_t> bytes);
// The same from a stream, read only as far as the record goes.
template <typename Record>
Record decode(ByteSource& source);

// The records `encode` and `decode` are defined for.
//   file records: MetaFile, DistributionFile, DistIndex, SnapshotStore
//   nested:       core::Schema, core::VariableDefinition, core::VariableType,
//                 core::DimensionDefinition, core::DistributionObject, core::DistributionRepr,
//                 core::JointDistributionObject, core::JointRepr, SnapshotEntry,
//                 core::DimensionKey

}  // namespace quib::storage::codec
