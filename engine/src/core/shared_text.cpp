#include "core/shared_text.h"

namespace quib::core {

const std::string& SharedText::empty_text() {
  static const std::string empty;
  return empty;
}

void SharedText::assign(std::string_view text) {
  release();
  if (!text.empty()) rep_ = new Rep{{1}, std::string(text)};
}

}  // namespace quib::core
