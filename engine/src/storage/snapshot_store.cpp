#include "storage/snapshot_store.h"

#include "storage/file_format.h"

namespace quib::storage {

void ensure_snapshot_file(const std::string& path) {
  file_format::ensure_file(path, SnapshotStore{});
}

}  // namespace quib::storage
