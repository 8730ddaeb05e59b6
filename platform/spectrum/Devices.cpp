#include "platform/spectrum/Devices.h"

#include <algorithm>

namespace spectrum {

Devices::Devices(Clock clock)
  : clock_(std::move(clock))
{
}

Devices::~Devices() = default;

void Devices::retire(std::unique_ptr<Poller> poller)
{
  poller->stop();
  retired_.push_back(std::move(poller));
}

void Devices::update(const LoggersFile &file)
{
  // Pollers that have stopped since an earlier update join at once.
  retired_.erase(std::remove_if(retired_.begin(),
                                retired_.end(),
                                [](const std::unique_ptr<Poller> &p) { return p->finished(); }),
                 retired_.end());
  targets_.clear();
  if (shutDown_)
    return;

  std::map<std::string, std::vector<LoggerSpec>> wanted;
  for (const LoggerSpec &spec : file.loggers)
    if (spec.polled())
      wanted[spec.deviceKey()].push_back(spec);

  for (auto it = devices_.begin(); it != devices_.end();) {
    if (wanted.count(it->first)) {
      ++it;
      continue;
    }
    retire(std::move(it->second.poller));
    it = devices_.erase(it);
  }
  for (auto &kv : wanted) {
    std::string fingerprint;
    for (const LoggerSpec &spec : kv.second)
      fingerprint +=
        std::to_string(spec.readArgument) + " " + spec.description + " " + spec.sourceText + "\n";
    Device &device = devices_[kv.first];
    if (!device.poller || device.fingerprint != fingerprint) {
      if (device.poller)
        retire(std::move(device.poller));
      const LoggerSpec &first = kv.second.front();
      auto source = first.kind == SourceKind::modbusTcp || first.kind == SourceKind::modbusRtu
                      ? makeModbusSource(kv.second)
                      : makeSysfsSource(kv.second);
      device.poller = std::make_unique<Poller>(std::move(source), kv.second, clock_);
      device.fingerprint = fingerprint;
    }
    const auto &targets = device.poller->targets();
    for (std::size_t i = 0; i < targets.size(); ++i)
      targets_[targets[i].readArgument] = Target{ device.poller.get(), i };
  }
}

Reading Devices::latest(std::int32_t readArgument, int channel) const
{
  auto it = targets_.find(readArgument);
  if (it == targets_.end()) {
    Reading r;
    r.reason = "the logger library is shutting down";
    return r;
  }
  return it->second.poller->latest(it->second.index, channel);
}

std::vector<std::unique_ptr<Poller>> Devices::shutDown()
{
  shutDown_ = true;
  targets_.clear();
  std::vector<std::unique_ptr<Poller>> all = std::move(retired_);
  retired_.clear();
  for (auto &kv : devices_) {
    kv.second.poller->stop();
    all.push_back(std::move(kv.second.poller));
  }
  devices_.clear();
  return all;
}

} // namespace spectrum
