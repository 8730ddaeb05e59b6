// Fuzz target: the configuration file parser and the normalised form that
// write() produces. Checks the format's invariants and that an entry
// written back reads back the same.
#include "config/ConfigFormat.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool condition)
{
  if (!condition)
    std::abort();
}

bool hasDelimiter(const std::string &s, bool blankAllowed)
{
  for (char c : s)
    if (c != '\0' && std::strchr(configformat::delimiters, c) && !(blankAllowed && c == ' '))
      return true;
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<ConfigEntry> entries;
  int result = configformat::parseEntries(text, entries);
  check(result == 1 || result == -1);

  long previous = -1;
  std::string rewritten;
  bool fits = true;
  for (const ConfigEntry &e : entries) {
    check(e.lineOffset > previous && e.lineOffset < static_cast<long>(size));
    previous = e.lineOffset;
    check(!e.item.key.empty() && !hasDelimiter(e.item.key, false));
    check(e.item.valueCount() >= 1 && e.item.valueCount() <= ConfigItem::maxValues);
    for (const std::string &v : e.item.values) {
      check(!v.empty() && v.find('#') == std::string::npos);
      // Only quoted values hold blanks, and never at either end.
      bool quoted = v.find('"') != std::string::npos;
      check(!hasDelimiter(v, quoted));
      check(v.front() != ' ' && v.back() != ' ');
    }
    check(e.comment.empty() || (e.comment[0] == '#' && e.comment.find('\n') == std::string::npos));
    check(e.comment.size() < configformat::linePieceLimit);
    std::string line = configformat::formatEntry(e);
    fits = fits && line.size() <= configformat::linePieceLimit;
    rewritten += line;
  }

  // What write() produces reads back as the same keys and values (when no
  // normalised line has to be split into pieces).
  if (fits) {
    std::vector<ConfigEntry> again;
    check(configformat::parseEntries(rewritten, again) == 1);
    check(again.size() == entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      check(again[i].item.key == entries[i].item.key);
      check(again[i].item.values == entries[i].item.values);
      const std::string &c = entries[i].comment;
      if (c.empty() || c.back() != '\r')
        check(again[i].comment == c);
    }
  }
  return 0;
}
