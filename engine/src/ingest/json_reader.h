// Reader of JSON-lines files: one JSON value per line.
//
// A line ends at LF (one CR before it is dropped too). Each line must hold exactly one JSON
// value, so an empty or blank line is an error. Objects become rows with their JSON types kept;
// values of any other kind are dropped without a trace. Members are read straight into the
// table's cells; only arrays and objects inside a row are kept as JSON values.
#pragma once

#include <string>
#include <string_view>

#include "ingest/row.h"

namespace quib::ingest::json_reader {

// Every object of the file as a row, in file order. Raises `quib::Error` with the context
// "open json file <path>", "read json line" or "parse json line"; no rows are returned then.
RowTable read_json_lines_rows(const std::string& path);

// The same over text already in memory; `text` is the whole file.
RowTable parse_json_lines(std::string_view text);

}  // namespace quib::ingest::json_reader
