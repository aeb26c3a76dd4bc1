// Reader of comma-separated files with a header line, in the one dialect of `csv_record`.
//
// Every record must have as many fields as the header and every field must be valid UTF-8;
// the first record that breaks either rule fails the whole read. Fields are texts, never numbers
// or nulls. The table keeps the file's text and splits a record into fields again whenever its
// row is asked for, so a file costs little more memory than its own size.
#pragma once

#include <string>

#include "ingest/row.h"

namespace quib::ingest::csv_reader {

// Every row of the file, in file order, keyed by the header names (when the header repeats a
// name, the last column with that name wins). Raises `quib::Error` with the context
// "open csv file <path>", "read csv headers" or "read csv record"; no rows are returned then.
RowTable read_csv_rows(const std::string& path);

// The same over text already in memory; `text` is the whole file, byte-order mark included.
RowTable parse_csv(std::string text);

}  // namespace quib::ingest::csv_reader
