// Snapshots: a map from text to lists of stored distribution copies. Nothing in the engine adds
// or reads entries; a store is loaded at open and written back unchanged at flush.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/distribution.h"

namespace quib::storage {

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

// Writes an empty store to `path` unless something already exists there.
void ensure_snapshot_file(const std::string& path);

}  // namespace quib::storage
