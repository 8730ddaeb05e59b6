#include "app/ConfigFile.h"

#include "alarms/Alarm.h"
#include "app/RunDirectories.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<ConfigFile::RenameFunction> renameFunction{ nullptr };

std::string format(const char *fmt, const std::string &a, const std::string &b = std::string())
{
  int n = std::snprintf(nullptr, 0, fmt, a.c_str(), b.c_str());
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, a.c_str(), b.c_str());
  return out;
}

// Console message of write(): printed at any trace level.
void say(const char *fmt, const std::string &a, const std::string &b = std::string())
{
  std::fputs(format(fmt, a, b).c_str(), stdout);
  std::fflush(stdout);
}

// Reads a whole regular file. A FIFO or device is refused rather than
// waited on.
bool readFile(const std::string &path, std::string &text)
{
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  text.clear();
  char buf[8192];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR)
        continue;
      ::close(fd);
      return false;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool writeAll(int fd, const std::string &data)
{
  const char *p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Read-only: every write bit cleared. Writable: the owner's write bit set.
bool setReadOnly(const std::string &path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && ::chmod(path.c_str(), st.st_mode & 07555) == 0;
}

bool setWritable(const std::string &path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

void syncDirectory(const std::string &dir)
{
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

} // namespace

ConfigFile::~ConfigFile()
{
  clearEntries();
  if (!path_.empty())
    setWritable(path_);
}

void ConfigFile::setRenameFunction(RenameFunction function)
{
  renameFunction.store(function);
}

short ConfigFile::initialize(const char *name)
{
  return initialize(name, RunDirectories::fromEnvironment().config);
}

short ConfigFile::initialize(const char *name, const std::string &directory)
{
  if (!name) {
    reportError("ConfigFile::initialize() no config file name given");
    return -1;
  }
  path_ = directory + "/" + name;

  std::string text;
  if (!readFile(path_, text)) {
    reportError(format("ConfigFile::initialize() config file %s either missing or invalid", path_).c_str());
    return -1;
  }
  readEntries(text);

  if (!setReadOnly(path_)) {
    reportError(
      format("ConfigFile::initialize() cannot change mode for file %s to READ ONLY\n", path_).c_str());
    return -1;
  }
  return 1;
}

int ConfigFile::readEntries(const std::string &text)
{
  clearEntries();
  return configformat::parseEntries(text, entries_);
}

void ConfigFile::write()
{
  std::string tempPath;
  std::string directory;
  try {
    std::size_t slash = path_.rfind('/');
    directory = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    tempPath = directory + "tmx.$$$";
  } catch (const std::bad_alloc &) {
    std::fputs("No memory for temp path name!\n", stdout);
    return;
  }

  std::string old;
  struct stat oldStat;
  if (!readFile(path_, old) || ::stat(path_.c_str(), &oldStat) != 0) {
    say("Error opening %s in  ConfigFile::write()\n", path_);
    return;
  }
  // A fresh regular file: a stale temporary file is ours to remove, and a
  // link planted under its name is never followed.
  ::unlink(tempPath.c_str());
  int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    say("Error opening %s in ConfigFile::write()\n", tempPath);
    return;
  }
  say("Writing config file items to %s\n", path_);

  if (entries_.empty()) {
    ::close(fd);
    ::unlink(tempPath.c_str());
    return;
  }

  // The head of the file as it is now (it may have been edited since it
  // was read) byte for byte, then every entry normalised. The new file
  // gets the old one's permission bits.
  bool ok = ::fchmod(fd, (oldStat.st_mode & 07777) | S_IWUSR) == 0 && writeAll(fd, configformat::headOf(old));
  for (std::size_t i = 0; ok && i < entries_.size(); ++i)
    ok = writeAll(fd, configformat::formatEntry(entries_[i]));
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    say("Error writing %s\n", tempPath);
    ::unlink(tempPath.c_str());
    return;
  }

  // The old file is never removed first: rename replaces it atomically, so
  // a crash or a failure at any point leaves either the old or the new
  // file whole. On a failed rename the new text stays in the temporary file.
  if (!setWritable(path_))
    say("Cannot change mode for file %s to WRITE\n", path_);
  RenameFunction rename = renameFunction.load();
  if ((rename ? rename : &::rename)(tempPath.c_str(), path_.c_str()) != 0)
    say("Unable to rename %s to %s\n", tempPath, path_);
  else
    syncDirectory(directory);
  if (!setReadOnly(path_))
    say("Cannot change mode for file %s to READONLY\n", path_);
}

short ConfigFile::getItem(const char *key, std::unique_ptr<ConfigItem> &item) const
{
  if (!key)
    return 0;
  for (const ConfigEntry &entry : entries_) {
    if (entry.item.key == key) {
      item = std::make_unique<ConfigItem>(entry.item);
      return 1;
    }
  }
  return 0;
}

void ConfigFile::replaceItem(ConfigItem item)
{
  for (ConfigEntry &entry : entries_) {
    if (entry.item.key == item.key) {
      entry.item = std::move(item);
      return;
    }
  }
}

short ConfigFile::addItem(const char *key, const char *value)
{
  if (!key)
    return 0;
  try {
    ConfigEntry entry;
    entry.item.key = key;
    if (value)
      entry.item.values.emplace_back(value);
    entries_.push_back(std::move(entry));
  } catch (const std::bad_alloc &) {
    return 0;
  }
  return 1;
}

void ConfigFile::clearEntries()
{
  entries_.clear();
}
