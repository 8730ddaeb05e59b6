// The text format of the configuration file (see ConfigFormat.h).
//
// Rules:
// - Lines are read in pieces of at most 249 bytes (a piece ends after its
//   line feed); each piece is a line of its own.
// - A piece ending in CR LF loses both; otherwise a final LF is removed.
//   (A lone CR elsewhere is kept and later acts as a delimiter, so no
//   character of a piece is ever dropped.)
// - The comment runs from the first "#" to the end of the line, "#"
//   included, even inside quotes; it is kept with the entry.
// - What is left is split at runs of " ,\t\n\r". The first token is the
//   key, the rest are values; all taken exactly as written.
// - A value token containing a double quote opens a quoted value, the next
//   such token closes it; the tokens in between are joined with single
//   blanks, the quote characters kept. A quoted value still open at the
//   end of the line is dropped. The key is never quoted.
// - After a quoted value closes, later plain tokens are plain values
//   again, and a second quoted value is collected afresh. So `K "a b" c "d e"` gives the values "a b" (quotes
//   kept), c and "d e".
// - Quoted values have no length limit of their own: a line piece holds at
//   most 249 bytes anyway, and cutting a value to a fixed size would
//   change it on the next rewrite and could cut off its closing quote, so
//   that reading it back would drop it.
// - At most 21 tokens (key and 20 values) are stored per line; a further
//   token stops reading: that line gives no entry, later lines are not read.
#include "config/ConfigFormat.h"

#include <algorithm>
#include <cstring>

namespace configformat {

namespace {

bool isDelimiter(char c)
{
  return c != '\0' && std::strchr(delimiters, c) != nullptr;
}

enum class LineResult
{
  ok,
  tooManyTokens
};

// Tokenises one line (line end and comment already cut) into `item`.
LineResult tokenize(const std::string &line, ConfigItem &item)
{
  std::size_t stored = 0;
  bool quoteOpen = false;
  std::string quoted;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (true) {
    while (i < n && isDelimiter(line[i]))
      ++i;
    if (i >= n)
      break;
    std::size_t start = i;
    while (i < n && !isDelimiter(line[i]))
      ++i;
    std::string token = line.substr(start, i - start);

    if (stored == 0) {
      item.key = std::move(token);
      stored = 1;
      continue;
    }
    if (stored >= maxTokens)
      return LineResult::tooManyTokens;
    bool hasQuote = token.find('"') != std::string::npos;
    if (quoteOpen) {
      quoted += token;
      if (hasQuote) {
        item.values.push_back(std::move(quoted));
        quoted.clear();
        quoteOpen = false;
        ++stored;
      } else {
        quoted += ' ';
      }
    } else if (hasQuote) {
      quoteOpen = true;
      quoted = token;
      quoted += ' ';
    } else {
      item.values.push_back(std::move(token));
      ++stored;
    }
  }
  return LineResult::ok;
}

} // namespace

int parseEntries(const std::string &text, std::vector<ConfigEntry> &entries, std::size_t *stoppedAt)
{
  if (stoppedAt != nullptr)
    *stoppedAt = text.size();
  std::size_t pos = 0;
  const std::size_t size = text.size();
  while (pos < size) {
    const std::size_t lineStart = pos;
    const std::size_t limit = std::min(size, pos + linePieceLimit);
    std::size_t end = limit;
    const void *lf = std::memchr(text.data() + pos, '\n', limit - pos);
    if (lf)
      end = static_cast<const char *>(lf) - text.data() + 1;
    std::string line = text.substr(pos, end - pos);
    pos = end;

    if (line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n')
      line.resize(line.size() - 2);
    else if (!line.empty() && line.back() == '\n')
      line.pop_back();

    std::string comment;
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) {
      comment = line.substr(hash);
      line.resize(hash);
    }
    if (line.find_first_not_of(" \t") == std::string::npos)
      continue;

    ConfigItem item;
    if (tokenize(line, item) == LineResult::tooManyTokens) {
      if (stoppedAt != nullptr)
        *stoppedAt = lineStart;
      return -1;
    }
    if (!item.key.empty() && !item.values.empty()) {
      ConfigEntry entry;
      entry.item = std::move(item);
      entry.lineOffset = static_cast<long>(lineStart);
      entry.comment = std::move(comment);
      entries.push_back(std::move(entry));
    }
  }
  return 1;
}

std::string headOf(const std::string &text)
{
  std::vector<ConfigEntry> entries;
  std::size_t end = text.size();
  parseEntries(text, entries, &end);
  if (!entries.empty())
    end = std::min(end, static_cast<std::size_t>(entries.front().lineOffset));
  if (end < text.size()) {
    // A long line is read in pieces: the cut goes to the start of the line
    // that holds the piece.
    const std::size_t lf = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
    return text.substr(0, lf == std::string::npos ? 0 : lf + 1);
  }
  std::string head = text;
  if (!head.empty() && head.back() != '\n')
    head += '\n';
  return head;
}

std::string formatEntry(const ConfigEntry &entry)
{
  std::string line = entry.item.key;
  line += ' ';
  for (std::size_t i = 0; i < entry.item.values.size(); ++i) {
    if (i > 0)
      line += ',';
    line += entry.item.values[i];
  }
  if (!entry.comment.empty()) {
    line += '\t';
    line += entry.comment;
  }
  line += '\n';
  return line;
}

} // namespace configformat
