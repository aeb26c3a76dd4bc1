// JSON form of the stored records: the fallback reading of a container file that lacks the
// binary header, and the compact JSON text of a schema.
//
// A record reads from an object (members in any order, unknown members skipped, a repeated member
// refused) or from an array of its fields in declaration order. Enumerations read only as an
// object with one member named after the variant. Reading is strict about types: a u64 field
// takes only a non-negative integer, an f64 field any number but not null. The reader checks the
// form only, never the meaning of the values.
#pragma once

#include <string>
#include <string_view>

#include "core/schema.h"

namespace quib::storage::json_form {

// Reads a file record (MetaFile, DistributionFile, DistIndex or SnapshotStore) from its JSON form.
// Throws `quib::Error` with the reader's message, " at line {} column {}" included; no partial
// record is returned.
template <typename Record>
Record from_json(std::string_view text);

// The compact JSON text of a file record: members in declaration order, ordered maps in key
// order, hash maps in their iteration order, NaN and infinities as null.
template <typename Record>
std::string to_json(const Record& record);

// The compact JSON text of the schema (what QuibDB.schema() hands to Python's json module).
std::string serialize_schema(const core::Schema& schema);

}  // namespace quib::storage::json_form
