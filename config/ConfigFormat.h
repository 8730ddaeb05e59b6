// The text format of the configuration file "tmx.cfg": entries of a key
// and up to 20 values per line, with the line's comment. Free of any file
// handling and of the rest of the monitor, so that the tools read the file
// with the monitor's own parser (and the fuzz target drives it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One key with its values. Copies are deep (value semantics).
struct ConfigItem
{
  static constexpr std::size_t maxValues = 20;

  ConfigItem() = default;
  explicit ConfigItem(std::string k, std::vector<std::string> v = {})
    : key(std::move(k))
    , values(std::move(v))
  {
  }

  std::uint16_t valueCount() const { return static_cast<std::uint16_t>(values.size()); }

  std::string key;
  std::vector<std::string> values; // at most maxValues
};

// One parsed line: its item, the byte offset of the line in the file (0
// for entries added in memory) and its comment from the first "#" on,
// without the line end (empty when the line had none).
struct ConfigEntry
{
  ConfigItem item;
  long lineOffset = 0;
  std::string comment;
};

// The file format, usable without a file (the fuzz target drives it).
namespace configformat {

// A line is read in pieces of at most this many bytes; each piece is
// handled as a line of its own.
constexpr std::size_t linePieceLimit = 249;
// Key and values stored per line; a further token stops reading.
constexpr std::size_t maxTokens = 1 + ConfigItem::maxValues;
constexpr const char *delimiters = " ,\t\n\r";

// Parses the text of a whole file and appends one entry per line that has
// a key and at least one value. Returns 1 when the end was reached, -1 when
// reading stopped at a line with too many tokens (that line gives no entry
// and later lines are not read); `stoppedAt`, when given, then receives that
// line's offset (else the text's size).
int parseEntries(const std::string &text,
                 std::vector<ConfigEntry> &entries,
                 std::size_t *stoppedAt = nullptr);

// The head of a file's text: its whole lines before the first line that
// gives an entry or stops reading. A text without such a line is head
// throughout; it is given a final line feed when it lacks one.
std::string headOf(const std::string &text);

// The normalised line of an entry: "KEY v1,v2,...\t#comment\n", or
// "KEY v1,v2\n" without a comment, "KEY \n" without values.
std::string formatEntry(const ConfigEntry &entry);

} // namespace configformat
