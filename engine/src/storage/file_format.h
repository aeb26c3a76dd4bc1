// Container files: the records stored in a database directory and the operations that write and
// read them. A container is the magic "QUIB", a u32 little-endian version and then the record:
// version 3 (the one written) as one zstd frame of the binary encoding, versions 0-2 as the
// uncompressed binary encoding. A buffer without the magic is read as the record's JSON form.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/distribution.h"
#include "core/schema.h"
#include "storage/dist_index.h"
#include "storage/snapshot_store.h"

namespace quib::storage {

struct MetaFile {
  core::Schema schema;
  std::uint64_t next_distribution_id = 1;
  std::uint64_t next_joint_id = 1;
  std::uint64_t next_raw_record_id = 1;
  std::uint32_t format_version = 3;
  bool raw_log_enabled = false;
  std::uint64_t high_water_mark = 0;
  bool operator==(const MetaFile&) const = default;
};

struct DistributionFile {
  std::vector<core::DistributionObject> distributions;  // creation order
  std::vector<core::JointDistributionObject> joints;    // creation order
  bool operator==(const DistributionFile&) const = default;
};

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

// Removes temporaries that an interrupted `write_file` of `path` left beside it. Only safe while
// no other writer can be replacing the file, i.e. under the database's exclusive lock.
void remove_stale_temporaries(const std::string& path);

// A new index holding every distribution's key text; a later distribution wins a shared text.
DistIndex rebuild_index(const std::vector<core::DistributionObject>& distributions);

}  // namespace file_format
}  // namespace quib::storage
