#include "core/ascii_text.h"

#include <algorithm>

namespace quib::core {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

void fold_ascii_case(std::string& text) {
  for (char& c : text) c = ascii_lower(c);
}

}  // namespace quib::core
