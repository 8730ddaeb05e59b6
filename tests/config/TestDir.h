// A temporary directory for file tests, removed with its contents.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace cfgtest {

class TestDir
{
public:
  TestDir()
  {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tmx-cfg-XXXXXX";
    if (!::mkdtemp(pattern.data()))
      throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TestDir()
  {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TestDir(const TestDir &) = delete;
  TestDir &operator=(const TestDir &) = delete;

  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

  // Replaces name with a new file holding the bytes (through a rename, so
  // readers see a new inode) and returns the path.
  std::string write(const std::string &name, const std::string &bytes, mode_t mode = 0644) const
  {
    std::string p = file(name);
    std::string next = p + ".new";
    std::ofstream(next, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(next.c_str(), mode);
    if (::rename(next.c_str(), p.c_str()) != 0)
      throw std::runtime_error("cannot replace " + p);
    return p;
  }

private:
  std::string path_;
};

inline std::string readBytes(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string &path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline mode_t modeOf(const std::string &path)
{
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    return 0;
  return st.st_mode & 07777;
}

// Sets an environment variable for the life of the object.
class ScopedEnv
{
public:
  ScopedEnv(const char *name, const std::string &value)
    : name_(name)
  {
    if (const char *old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv()
  {
    if (had_)
      ::setenv(name_.c_str(), old_.c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

} // namespace cfgtest
