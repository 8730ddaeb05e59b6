#include "platform/spectrum/Poller.h"

#include <algorithm>
#include <cmath>

namespace spectrum {

namespace {

using std::chrono::milliseconds;

// The first retry after a failed poll; each further one waits twice as
// long, never longer than the poll period, so that a device that comes
// back is read again within one period.
constexpr milliseconds firstRetry{ 100 };

bool used(const LoggerSpec &t, int channel)
{
  switch (t.kind) {
    case SourceKind::modbusTcp:
    case SourceKind::modbusRtu:
      return t.modbus.channels[channel].used;
    case SourceKind::hwmon:
    case SourceKind::iio:
      return t.sysfs.used[channel];
    case SourceKind::sim:
      break;
  }
  return false;
}

} // namespace

Poller::Poller(std::unique_ptr<Source> source, std::vector<LoggerSpec> targets, Clock clock)
  : source_(std::move(source))
  , targets_(std::move(targets))
  , clock_(std::move(clock))
  , started_(clock_())
  , channels_(targets_.size())
  , thread_([this] { run(); })
{
}

Poller::~Poller()
{
  stop();
  if (thread_.joinable())
    thread_.join();
}

void Poller::stop()
{
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  wake_.notify_all();
}

bool Poller::finished() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

unsigned long Poller::polls() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return polls_;
}

void Poller::run()
{
  milliseconds period{ targets_.front().periodMs };
  for (const LoggerSpec &t : targets_)
    period = std::min(period, milliseconds(t.periodMs));
  milliseconds retry{ 0 };

  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    lock.unlock();
    bool healthy = true;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      Reading out[channelCount];
      source_->read(i, out);
      auto now = clock_();
      bool anyOk = false;
      std::lock_guard<std::mutex> store(mutex_);
      for (int c = 0; c < channelCount; ++c) {
        if (!used(targets_[i], c))
          continue;
        Channel &ch = channels_[i][c];
        ch.polled = true;
        if (out[c].ok) {
          anyOk = true;
          ch.have = true;
          ch.at = now;
          ch.value = out[c].value;
        } else {
          ch.reason = out[c].reason;
        }
      }
      healthy = healthy && anyOk;
      if (stop_)
        break;
    }
    lock.lock();
    ++polls_;
    wake_.notify_all();
    retry = healthy ? milliseconds(0) : std::min(period, retry.count() ? retry * 2 : firstRetry);
    wake_.wait_for(lock, healthy ? period : retry, [this] { return stop_; });
  }
  finished_ = true;
}

Reading Poller::latest(std::size_t target, int channel) const
{
  const LoggerSpec &t = targets_.at(target);
  auto now = clock_();
  std::lock_guard<std::mutex> lock(mutex_);
  const Channel &ch = channels_.at(target)[channel];
  Reading r;
  std::chrono::duration<double> age = now - (ch.have ? ch.at : started_);
  if (ch.have && age.count() <= t.staleS) {
    r.ok = true;
    r.value = ch.value;
    return r;
  }
  r.pending = !ch.polled && age.count() <= t.staleS;
  auto seconds = static_cast<long long>(std::floor(std::max(0.0, age.count())));
  r.reason = "no reading from " + t.deviceName() + " for " + std::to_string(seconds) + " s: " + ch.reason;
  return r;
}

} // namespace spectrum
