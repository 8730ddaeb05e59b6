// Bounded polling for tests: state that has no notification of its own.
#pragma once

#include <chrono>
#include <thread>

template<class Pred>
bool waitFor(Pred pred, int ms = 5000)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>

// Redirects standard output into a pipe while it lives, so a test can wait
// for a trace line that another thread prints.
class StdoutTap
{
public:
  StdoutTap()
  {
    std::fflush(stdout);
    saved_ = dup(1);
    if (pipe(fds_) != 0)
      return;
    dup2(fds_[1], 1);
    ::close(fds_[1]);
    reader_ = std::thread([this] {
      char buf[512];
      ssize_t n;
      while ((n = read(fds_[0], buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        text_.append(buf, static_cast<std::size_t>(n));
        changed_.notify_all();
      }
    });
  }
  ~StdoutTap() { release(); }

  bool waitForText(const std::string &needle, int ms = 5000)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(
      lock, std::chrono::milliseconds(ms), [&] { return text_.find(needle) != std::string::npos; });
  }
  // Restores standard output and returns everything printed meanwhile.
  std::string release()
  {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, 1); // closes the pipe's last write end: the reader sees EOF
      ::close(saved_);
      saved_ = -1;
      if (reader_.joinable())
        reader_.join();
      ::close(fds_[0]);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
  }

private:
  int saved_ = -1;
  int fds_[2] = { -1, -1 };
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
};
