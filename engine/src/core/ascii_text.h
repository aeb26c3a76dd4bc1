// ASCII case folding for the words that the system matches without regard to case: keywords of
// the query language, metric names, file extensions, the words of non-finite numbers. Only the
// letters A-Z fold; every other byte, UTF-8 included, matches only itself, whatever the locale.
#pragma once

#include <string>
#include <string_view>

namespace quib::core {

char ascii_lower(char c);

// Whether the two texts are equal once their ASCII letters are folded.
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// Folds the ASCII letters of `text` in place.
void fold_ascii_case(std::string& text);

}  // namespace quib::core
