// Texts inside messages, quoted the way a debugging printout shows them: in double quotes, with
// backslash escapes for the quote character, the backslash and every control character (C0, DEL
// and C1), so that a value holding a quote or a line feed cannot blur the message around it.
// Messages that name a stored or user-given text this way all go through this one place.
#pragma once

#include <string>
#include <string_view>

namespace quib::core {

// Appends `text` quoted and escaped: "\"" -> \", "\\" -> \\, line feed -> \n, carriage return
// -> \r, tab -> \t, NUL -> \0, any other control character -> \u{hex}. Other bytes are copied.
void append_debug_string(std::string& out, std::string_view text);

}  // namespace quib::core
