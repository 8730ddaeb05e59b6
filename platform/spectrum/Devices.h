// The pollers of the devices the current loggers file names.
#pragma once

#include "platform/spectrum/Poller.h"

#include <map>

namespace spectrum {

// Not copyable (it owns its pollers).
class Devices
{
public:
  explicit Devices(Clock clock);
  // Stops and joins every poller.
  ~Devices();

  // Makes the pollers match the file's polled loggers: a device whose
  // loggers are unchanged keeps its poller and values; the pollers of
  // changed or dropped devices are stopped without waiting for them.
  void update(const LoggersFile &file);
  // Channel `channel` of the polled logger with that read argument, as its
  // poller has it now.
  Reading latest(std::int32_t readArgument, int channel) const;
  // Hands over every poller (to be destroyed outside the caller's lock);
  // no poller is started afterwards.
  std::vector<std::unique_ptr<Poller>> shutDown();

private:
  struct Device
  {
    std::string fingerprint;
    std::unique_ptr<Poller> poller;
  };
  struct Target
  {
    const Poller *poller;
    std::size_t index;
  };

  void retire(std::unique_ptr<Poller> poller);

  const Clock clock_;
  bool shutDown_ = false;
  std::map<std::string, Device> devices_;  // by device key
  std::map<std::int32_t, Target> targets_; // by read argument
  std::vector<std::unique_ptr<Poller>> retired_;
};

} // namespace spectrum
