// One device polled on a thread of its own, so that the library's callers
// get the latest values at once however slow or dead the device is.
#pragma once

#include "platform/spectrum/Source.h"

#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace spectrum {

class Poller
{
public:
  // Starts polling targets (loggers sharing one device key) through source.
  // clock stamps readings and judges their age; waits between polls use
  // real time.
  Poller(std::unique_ptr<Source> source, std::vector<LoggerSpec> targets, Clock clock);
  // Stops and joins the thread (at most one device time-out).
  ~Poller();
  Poller(const Poller &) = delete;
  Poller &operator=(const Poller &) = delete;

  // Asks the thread to stop without waiting for it.
  void stop();
  // True once the thread has left its loop (joining is then immediate).
  bool finished() const;
  // How many polls of all targets have been completed.
  unsigned long polls() const;

  // Channel `channel` of targets[target] now: its latest value while not
  // older than the target's `stale`, else a failure "no reading from
  // DEVICE for N s: REASON" (pending before the device's first poll).
  Reading latest(std::size_t target, int channel) const;

  const std::vector<LoggerSpec> &targets() const { return targets_; }

private:
  struct Channel
  {
    bool polled = false; // a poll has given a value or a failure
    bool have = false;
    std::chrono::steady_clock::time_point at; // of the latest good value
    double value = 0.0;
    std::string reason = "not read yet";
  };

  void run();

  std::unique_ptr<Source> source_;
  const std::vector<LoggerSpec> targets_;
  const Clock clock_;
  const std::chrono::steady_clock::time_point started_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool finished_ = false;
  unsigned long polls_ = 0;
  std::vector<std::array<Channel, channelCount>> channels_;
  std::thread thread_; // last: starts once everything else is built
};

} // namespace spectrum
