// The configuration file "tmx.cfg": an ordered list of entries (key and up
// to 20 values per line, with the line's comment), lookups by key, and a
// rewrite that replaces the file atomically and keeps it read-only.
#pragma once

#include "config/ConfigFormat.h"

#include <memory>
#include <string>
#include <vector>

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
