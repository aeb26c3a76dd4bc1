// The records stored in a database directory, one per container file: `MetaFile`,
// `DistributionFile`, `DistIndex` (storage/dist_index.h) and `SnapshotStore`.
//
// Plain data at the bottom of storage: the codec, the JSON form and the container files read
// and write these types, and nothing here knows how.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/distribution.h"
#include "core/schema.h"
#include "storage/dist_index.h"

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

// Snapshots: a map from text to lists of stored distribution copies. Nothing in the engine adds
// or reads entries; a store is loaded at open and written back unchanged at flush.
struct SnapshotEntry {
  std::uint64_t version = 0;
  std::uint64_t timestamp = 0;
  core::DistributionObject distribution;
  bool operator==(const SnapshotEntry&) const = default;
};

struct SnapshotStore {
  std::unordered_map<std::string, std::vector<SnapshotEntry>> entries;
  bool operator==(const SnapshotStore&) const = default;
};

}  // namespace quib::storage
