// Whole-file input for the row readers, and the split of that text into pieces for the pool.
//
// Readers take the file in one read: ingestion holds every row in memory anyway, and one
// contiguous buffer lets the parsers scan without refilling.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quib::ingest::input_file {

// The whole content of the file at `path`. A failure to open it raises the operating system's
// error under `open_context`; a failure while reading raises it under `read_context`.
std::string read_all(const std::string& path, std::string_view open_context,
                     std::string_view read_context);

// Splits `text` into at most `pieces` ranges for parallel reading, each ending just after a line
// feed (or at the end): returns the bounds, first 0 and last `text.size()`. No multi-byte UTF-8
// character and no JSON line spans two pieces.
std::vector<std::size_t> line_pieces(std::string_view text, std::size_t pieces);

}  // namespace quib::ingest::input_file
