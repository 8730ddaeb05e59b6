#include "wire/Quoting.h"

namespace tmx::wire {

namespace {

void append(std::string &out, const char *text, bool quote)
{
  static const char hex[] = "0123456789abcdef";
  for (const char *p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '"':
        out += quote ? "\\\"" : "\"";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += hex[c >> 4];
          out += hex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

} // namespace

std::string escaped(const char *text)
{
  std::string out;
  append(out, text, false);
  return out;
}

std::string quoted(const char *text)
{
  std::string out = "\"";
  append(out, text, true);
  return out + "\"";
}

std::string latin1ToUtf8(const char *text)
{
  std::string out;
  for (const char *p = text ? text : ""; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

} // namespace tmx::wire
