// Pass-period jitter of the periodic sampling task: one 1000-tick callback,
// N periods (default 30, first argument overrides). Prints the median and
// the maximum deviation of the period from 1000 ms.
#include "framework/MicroPeriodicHandler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

class Recorder
{
public:
  explicit Recorder(std::size_t passes)
    : passes_(passes)
  {
    stamps_.reserve(passes);
  }

  int onPass(Callback &)
  {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> guard(mutex_);
    if (stamps_.size() < passes_)
      stamps_.push_back(now);
    if (stamps_.size() == passes_)
      done_.notify_all();
    return 0;
  }

  std::vector<Clock::time_point> wait(std::chrono::seconds limit)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, limit, [&] { return stamps_.size() >= passes_; });
    return stamps_;
  }

private:
  std::size_t passes_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<Clock::time_point> stamps_;
};
} // namespace

int main(int argc, char **argv)
{
  const long periods = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 30;
  if (periods < 1 || periods > 100000) {
    std::fprintf(stderr, "usage: periodic_jitter [periods (1..100000, default 30)]\n");
    return 2;
  }
  traceLevel = 0;

  TaskSynchronizer sync("Bench", 3);
  MicroPeriodicHandler handler("BenchPeriodicHandler", &sync);
  Recorder recorder(static_cast<std::size_t>(periods) + 1);
  Callback callback(std::make_unique<MemberCallback<Recorder>>(&recorder, &Recorder::onPass));
  handler.addCallback(1000u, &callback);

  if (handler.activate("BenchPeriodicHandler", 15, 0, 10000) != 0) {
    std::fprintf(stderr, "periodic_jitter: cannot start the periodic task\n");
    return 1;
  }
  sync.signalTask(1); // the event task's release, given directly
  const auto stamps = recorder.wait(std::chrono::seconds(2 * periods + 10));
  handler.stop(5);
  if (stamps.size() < static_cast<std::size_t>(periods) + 1) {
    std::fprintf(stderr, "periodic_jitter: only %zu passes\n", stamps.size());
    return 1;
  }

  std::vector<double> deviation;
  double total = 0;
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    const double period = std::chrono::duration<double, std::milli>(stamps[i] - stamps[i - 1]).count();
    total += period;
    deviation.push_back(std::fabs(period - 1000.0));
  }
  std::sort(deviation.begin(), deviation.end());
  const std::size_t n = deviation.size();
  const double median = n % 2 != 0 ? deviation[n / 2] : (deviation[n / 2 - 1] + deviation[n / 2]) / 2;
  std::printf("periodic_jitter: %zu periods of 1000 ticks, mean period %.3f ms\n", n, total / n);
  std::printf("median deviation %.3f ms, max deviation %.3f ms\n", median, deviation.back());
  return 0;
}
