#include "tests/support/TestUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tmx::test {

std::time_t localTime(int year, int month, int day, int hour, int minute, int second)
{
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

namespace fs = std::filesystem;

namespace {

std::string tempBase()
{
  const char *base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

std::runtime_error failure(const std::string &what)
{
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// Gives the owner full rights on dir and every directory below it, so that
// remove_all can empty directories a test made read-only.
void makeRemovable(const fs::path &dir)
{
  std::error_code ec;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec) && !it->is_symlink(ec))
      makeRemovable(it->path());
}

} // namespace

// ---------------------------------------------------------------- TempDir

TempDir::TempDir(const std::string &prefix)
{
  std::string pattern = tempBase() + "/" + prefix + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data()))
    throw failure("mkdtemp " + pattern);
  path_ = buf.data();
}

TempDir::~TempDir()
{
  makeRemovable(path_);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string &name) const
{
  return path_ + "/" + name;
}

std::string TempDir::write(const std::string &name, const std::string &bytes, mode_t mode) const
{
  const std::string p = file(name);
  const std::string next = p + ".new";
  std::ofstream out(next, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out || ::chmod(next.c_str(), mode) != 0 || ::rename(next.c_str(), p.c_str()) != 0)
    throw std::runtime_error("cannot write " + p);
  return p;
}

std::string readFile(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// -------------------------------------------------------------- ScopedEnv

ScopedEnv::ScopedEnv(const std::string &name, const char *value)
  : name_(name)
{
  if (const char *old = std::getenv(name.c_str())) {
    had_ = true;
    saved_ = old;
  }
  if (value)
    ::setenv(name.c_str(), value, 1);
  else
    ::unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv()
{
  if (had_)
    ::setenv(name_.c_str(), saved_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

// -------------------------------------------------------------- CaptureFd

CaptureFd::CaptureFd(int fd)
  : fd_(fd)
{
  std::string pattern = tempBase() + "/tmx-capture-XXXXXX";
  file_ = ::mkstemp(pattern.data());
  if (file_ < 0)
    throw failure("mkstemp " + pattern);
  ::unlink(pattern.c_str());
  flush();
  saved_ = ::dup(fd);
  ::dup2(file_, fd);
}

CaptureFd::~CaptureFd()
{
  restore();
  ::close(file_);
}

void CaptureFd::flush()
{
  std::fflush(fd_ == 1 ? stdout : stderr);
}

std::string CaptureFd::text()
{
  flush();
  std::string out;
  char buf[4096];
  ssize_t n;
  off_t at = 0;
  while ((n = ::pread(file_, buf, sizeof buf, at)) > 0) {
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

bool CaptureFd::waitForText(const std::string &needle, milliseconds timeout)
{
  return eventually([&] { return text().find(needle) != std::string::npos; }, timeout);
}

void CaptureFd::restore()
{
  if (saved_ < 0)
    return;
  flush();
  ::dup2(saved_, fd_);
  ::close(saved_);
  saved_ = -1;
}

std::string CaptureFd::release()
{
  restore();
  return text();
}

std::size_t countOccurrences(const std::string &text, const std::string &what)
{
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
    ++n;
  return n;
}

} // namespace tmx::test
