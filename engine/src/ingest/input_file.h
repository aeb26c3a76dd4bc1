// Whole-file input for the row readers, and the UTF-8 check both readers apply to their text.
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

// Length of the longest prefix of `bytes` that is well-formed UTF-8 (shortest forms only, no
// surrogates, nothing above U+10FFFF); equal to `bytes.size()` when all of it is.
std::size_t utf8_valid_up_to(std::string_view bytes);

inline bool is_utf8(std::string_view bytes) { return utf8_valid_up_to(bytes) == bytes.size(); }

// Splits `text` into at most `pieces` ranges for parallel reading, each ending just after a line
// feed (or at the end): returns the bounds, first 0 and last `text.size()`. No multi-byte UTF-8
// character and no JSON line spans two pieces.
std::vector<std::size_t> line_pieces(std::string_view text, std::size_t pieces);

}  // namespace quib::ingest::input_file
