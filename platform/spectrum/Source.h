// A polled device: what a poller thread reads its loggers' channels from.
#pragma once

#include "platform/spectrum/Loggers.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace spectrum {

// The library's time: real steady time, a test's own in tests.
using Clock = std::function<std::chrono::steady_clock::time_point()>;

// One channel as one poll found it.
struct Reading
{
  bool ok = false;
  double value = 0.0;
  std::string reason;   // why not ok: "Connection timed out", "Illegal data address", ...
  bool pending = false; // not ok as the device has not been polled yet
};

// The connection to one device and the loggers (targets) read through it.
// Used only by its poller thread; every call is bounded by the device's
// time-outs.
class Source
{
public:
  virtual ~Source() = default;
  // Reads the used channels of targets[target] into out (unused channels
  // are left alone). Connects first where needed; a lost connection is
  // closed and made anew on a later call.
  virtual void read(std::size_t target, Reading out[channelCount]) = 0;
};

// What the sources of each kind share: their targets, and the failure of
// every channel of a target at once (the device is not there).
class TargetSource : public Source
{
public:
  explicit TargetSource(std::vector<LoggerSpec> targets)
    : targets_(std::move(targets))
  {
  }

protected:
  // Gives every channel of out (used or not) that reason.
  static void failAll(Reading out[channelCount], const std::string &reason)
  {
    for (int c = 0; c < channelCount; ++c)
      out[c].reason = reason;
  }

  const std::vector<LoggerSpec> targets_;
};

// Sources of each kind; targets share the device key.
std::unique_ptr<Source> makeModbusSource(const std::vector<LoggerSpec> &targets);
std::unique_ptr<Source> makeSysfsSource(const std::vector<LoggerSpec> &targets);

} // namespace spectrum
