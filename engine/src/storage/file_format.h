// Container files: the records stored in a database directory and the operations that write and
// read them. A container is the magic "QUIB", a u32 little-endian version and then the record:
// version 3 (the one written) as one zstd frame of the binary encoding, versions 0-2 as the
// uncompressed binary encoding. A buffer without the magic is read as the record's JSON form.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/file_io.h"
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

// Container files replaced together, as one flush does: each record is encoded and written to
// a synced temporary when added, and `replace_all` renames them into place in the order added
// (core::FileSetReplacement), so that a failure at any step leaves every old file in place.
// Failures carry the context "write file {}" of the file whose step failed; when the old files
// could not all be put back, a further context says so.
class FileSet {
 public:
  template <typename Record>
  void add(const std::string& path, const Record& record);
  void replace_all();
  // After a failed `replace_all`: the old files could not all be put back.
  bool left_mixed() const { return !replacement_.restore_failure().empty(); }

 private:
  core::FileSetReplacement replacement_;
};

// Writes an empty store to `path` unless something already exists there.
void ensure_snapshot_file(const std::string& path);

}  // namespace file_format
}  // namespace quib::storage
