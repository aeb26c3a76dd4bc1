// Reader of comma-separated files with a header line, in one fixed dialect.
//
// Dialect: "," separates fields; a field may be quoted with '"', a doubled quote inside standing
// for one; records end at LF, CR or CR LF; empty lines are skipped; a UTF-8 byte-order mark at the
// start is skipped; nothing is trimmed. Every record must have as many fields as the header and
// every field must be valid UTF-8. Fields become JSON strings, never numbers or nulls.
#pragma once

#include <string>

#include "ingest/row.h"

namespace quib::ingest::csv_reader {

// Every row of the file, in file order, keyed by the header names (when the header repeats a
// name, the last column with that name wins). Raises `quib::Error` with the context
// "open csv file <path>", "read csv headers" or "read csv record"; no rows are returned then.
RowTable read_csv_rows(const std::string& path);

// The same over text already in memory; `text` is the whole file, byte-order mark included.
RowTable parse_csv(std::string_view text);

}  // namespace quib::ingest::csv_reader
