// Container files: the records stored in a database directory and the operations that write and
// read them. A container is the magic "QUIB", a u32 little-endian version and then the record:
// version 3 (the one written) as one zstd frame of the binary encoding, versions 0-2 as the
// uncompressed binary encoding. A buffer without the magic is read as the record's JSON form.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "storage/records.h"

namespace quib::storage {

namespace file_format {

inline constexpr std::uint32_t kWrittenVersion = 3;

// One instance per record type: MetaFile, DistributionFile, DistIndex, SnapshotStore.
template <typename Record>
void write_file(const std::string& path, const Record& record);
template <typename Record>
void ensure_file(const std::string& path, const Record& default_record);
template <typename Record>
Record read_file(const std::string& path);
template <typename Record>
Record deserialize_bytes(std::span<const std::uint8_t> bytes, const std::string& path);

DistributionFile read_file_mmap(const std::string& path);

// Writes an empty store to `path` unless something already exists there.
void ensure_snapshot_file(const std::string& path);

}  // namespace file_format
}  // namespace quib::storage
