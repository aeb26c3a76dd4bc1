#include "ingest/input_file.h"

#include <algorithm>

#include "core/error.h"
#include "core/file_io.h"

namespace quib::ingest::input_file {

std::string read_all(const std::string& path, std::string_view open_context,
                     std::string_view read_context) {
  with_context(open_context, [&] { check_path_bytes(path); });
  const core::FileDescriptor file =
      with_context(open_context, [&] { return core::open_for_reading(path); });
  return with_context(read_context, [&] { return core::read_to_end(file); });
}

std::vector<std::size_t> line_pieces(std::string_view text, std::size_t pieces) {
  std::vector<std::size_t> bounds{0};
  for (std::size_t k = 1; k < pieces; ++k) {
    const std::size_t newline = text.find('\n', std::max(text.size() / pieces * k, bounds.back()));
    if (newline == std::string_view::npos) break;
    bounds.push_back(newline + 1);
  }
  bounds.push_back(text.size());
  return bounds;
}

}  // namespace quib::ingest::input_file
