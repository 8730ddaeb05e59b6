// The configuration file "tmx.cfg": an ordered list of entries (key and up
// to 20 values per line, with the line's comment), lookups by key, and a
// rewrite that replaces the file atomically and keeps it read-only.
#pragma once

#include <cstdint>
#include <memory>
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

class ConfigFile
{
public:
  ConfigFile() = default;
  // Drops the entries and makes the file writable again.
  virtual ~ConfigFile();
  ConfigFile(const ConfigFile &) = delete;
  ConfigFile &operator=(const ConfigFile &) = delete;

  // Reads "<directory>/<name>" and makes it read-only. 1 on success, -1 on
  // failure (reported through reportError).
  short initialize(const char *name, const std::string &directory);
  // The same in the configuration directory of RunDirectories.
  short initialize(const char *name);
  // Replaces the file with the head of the file as it is now (see headOf)
  // and every entry in normalised form, through "tmx.$$$" in the same
  // directory. Failures are printed on the console and leave the old file
  // as it was.
  void write();
  // 1 and a copy of the first entry with that key (exact match), else 0
  // and `item` untouched.
  short getItem(const char *key, std::unique_ptr<ConfigItem> &item) const;
  // Replaces the item of the first entry with the item's key; the entry
  // keeps its offset and comment. No such entry: nothing changes.
  void replaceItem(ConfigItem item);
  // Appends an entry (offset 0, no comment) with the key and the value,
  // or no value when `value` is null. 1, or 0 when it cannot be added.
  short addItem(const char *key, const char *value);
  void clearEntries();

  const std::vector<ConfigEntry> &entries() const { return entries_; }
  const std::string &path() const { return path_; }

  // Test seam: the rename that write uses to replace the file (null
  // restores rename(2)).
  using RenameFunction = int (*)(const char *from, const char *to);
  static void setRenameFunction(RenameFunction function);

private:
  int readEntries(const std::string &text);

  std::vector<ConfigEntry> entries_;
  std::string path_;
};
