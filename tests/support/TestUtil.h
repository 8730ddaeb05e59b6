// Light test helpers with no CORBA in them: a temporary directory, a scoped
// environment variable, a bounded polling wait, the capture of a standard
// stream, and a recorded list and a gate for test doubles. Library tmx_testutil; tests that need processes,
// an ORB or recording servants use TestSupport.h and Recording.h on top of it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tmx::test {

using std::chrono::milliseconds;

// Default bound for waits on a thread, a child or a service.
constexpr milliseconds defaultTimeout{ 10000 };

// An argc/argv pair (argv null-terminated) that owns its strings; a callee
// such as ORB_init may reorder and shorten argv, so argc is a member it can
// change. Also serves as an envp.
class Args
{
public:
  Args(std::vector<std::string> args)
    : strings_(std::move(args))
  {
    for (auto &s : strings_)
      pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
    argc = static_cast<int>(strings_.size());
  }
  Args(const Args &) = delete;
  Args &operator=(const Args &) = delete;
  char **argv() { return pointers_.data(); }
  int argc;

private:
  std::vector<std::string> strings_;
  std::vector<char *> pointers_;
};

// The time_t of a local date and time (mktime, daylight saving time as
// the zone has it on that day).
std::time_t localTime(int year, int month, int day, int hour, int minute, int second = 0);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents by
// the destructor (read-only subdirectories included).
class TempDir
{
public:
  explicit TempDir(const std::string &prefix = "tmx-test");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string &name) const;
  // Replaces file(name) with a new file holding the bytes (through a
  // rename, so readers see a new inode) and returns its path. Throws when
  // it cannot.
  std::string write(const std::string &name, const std::string &bytes, mode_t mode = 0644) const;

private:
  std::string path_;
};

// How often what occurs in text (overlapping occurrences included).
std::size_t countOccurrences(const std::string &text, const std::string &what);

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string &path);

// Sets an environment variable for the life of the object (a null value
// unsets it) and restores the earlier state afterwards.
class ScopedEnv
{
public:
  ScopedEnv(const std::string &name, const char *value);
  ScopedEnv(const std::string &name, const std::string &value)
    : ScopedEnv(name, value.c_str())
  {
  }
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  std::string name_;
  std::string saved_;
  bool had_ = false;
};

// Polls cond every few milliseconds until it holds or the deadline passes.
// Only for state that nobody signals (a flag in code under test, another
// process); waits on servants and sinks use their condition variables.
template<class F>
bool eventually(F cond, milliseconds timeout = defaultTimeout)
{
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

// What a test double records, appended from any thread, with bounded waits
// on its growth.
template<class T>
class Recorder
{
public:
  // Appends item; returns how many items there are with it.
  std::size_t add(T item)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
    changed_.notify_all();
    return items_.size();
  }
  std::vector<T> items() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }
  std::size_t size() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }
  // True once at least n items are in; false at the deadline.
  bool waitCount(std::size_t n, milliseconds timeout = defaultTimeout) const
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return items_.size() >= n; });
  }

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<T> items_;
};

// Where a test double holds its callers: while the gate is held, pass()
// waits for release(), at most its time-out. Open at first.
class Gate
{
public:
  void hold()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    opened_.notify_all();
  }
  bool held() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  // True at once while open, or once released; false when still held at
  // the deadline.
  bool pass(milliseconds timeout = defaultTimeout) const
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return opened_.wait_for(lock, timeout, [&] { return !held_; });
  }

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable opened_;
  bool held_ = false;
};

// Redirects a standard stream (fd 1 or 2) into an unlinked temporary file
// for the life of the object. text() reads all that was written so far
// (stdio flushed first), from any thread.
class CaptureFd
{
public:
  explicit CaptureFd(int fd);
  ~CaptureFd();
  CaptureFd(const CaptureFd &) = delete;
  CaptureFd &operator=(const CaptureFd &) = delete;

  std::string text();
  // Waits until text() contains needle (for lines another thread prints).
  bool waitForText(const std::string &needle, milliseconds timeout = defaultTimeout);
  // Gives the stream back; text() still reads what was captured.
  void restore();
  // restore(), then text().
  std::string release();

private:
  void flush();

  int fd_;
  int file_ = -1;
  int saved_ = -1;
};

// Runs f and returns what it printed on standard output.
template<class F>
std::string printedBy(F &&f)
{
  CaptureFd out(1);
  f();
  return out.release();
}

} // namespace tmx::test
