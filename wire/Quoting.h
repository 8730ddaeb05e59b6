// Texts that came over the wire (tags, message texts, repository ids,
// reasons, filters) as the programs print them: every control character
// escaped, so that one record stays one line and no text can drive the
// terminal.
#pragma once

#include <string>

namespace tmx::wire {

// C escapes without quotes: backslash as \\, \n, \r and \t by name, other
// control characters and DEL as \xHH; every other byte as it is.
std::string escaped(const char *text);
// The same between double quotes, with '"' escaped too: "a\"b\n".
std::string quoted(const char *text);
// Bytes above 0x7f taken as Latin-1 characters (strings on the wire carry
// no encoding), written as UTF-8; null reads as "".
std::string latin1ToUtf8(const char *text);

} // namespace tmx::wire
