#include "bench/PeriodJitter.h"

#include "framework/MicroPeriodicHandler.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace bench {

namespace {

// The start time of each pass, the first `passes` of them.
class Recorder
{
public:
  Recorder(std::size_t passes, const std::function<void(Clock::time_point)> &work)
    : passes_(passes)
    , work_(work)
  {
    stamps_.reserve(passes);
  }

  int onPass(Callback &)
  {
    const auto now = Clock::now();
    work_(now);
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
  const std::size_t passes_;
  const std::function<void(Clock::time_point)> &work_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<Clock::time_point> stamps_;
};

} // namespace

long periodsArgument(int argc, char **argv, const char *program)
{
  const long periods = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 30;
  if (periods < 1 || periods > 100000) {
    std::fprintf(stderr, "usage: %s [periods (1..100000, default 30)]\n", program);
    return 0;
  }
  return periods;
}

std::optional<Jitter> measureJitter(const char *program,
                                    long periods,
                                    const std::function<void(Clock::time_point)> &work)
{
  TaskSynchronizer sync("Bench", 3);
  MicroPeriodicHandler handler("BenchPeriodicHandler", &sync);
  Recorder recorder(static_cast<std::size_t>(periods) + 1, work);
  Callback callback(std::make_unique<MemberCallback<Recorder>>(&recorder, &Recorder::onPass));
  handler.addCallback(1000u, &callback);
  if (handler.activate("BenchPeriodicHandler", 15, 0, 10000) != 0) {
    std::fprintf(stderr, "%s: cannot start the periodic task\n", program);
    return std::nullopt;
  }
  sync.signalTask(1); // the event task's release, given directly
  const auto stamps = recorder.wait(std::chrono::seconds(2 * periods + 10));
  handler.stop(5);
  if (stamps.size() < static_cast<std::size_t>(periods) + 1) {
    std::fprintf(stderr, "%s: only %zu passes\n", program, stamps.size());
    return std::nullopt;
  }

  std::vector<double> deviation;
  double total = 0;
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    const double period = std::chrono::duration<double, std::milli>(stamps[i] - stamps[i - 1]).count();
    total += period;
    deviation.push_back(std::fabs(period - 1000.0));
  }
  std::sort(deviation.begin(), deviation.end());
  Jitter j;
  j.periods = deviation.size();
  const std::size_t n = j.periods;
  j.meanPeriodMs = total / n;
  j.medianDeviationMs = n % 2 != 0 ? deviation[n / 2] : (deviation[n / 2 - 1] + deviation[n / 2]) / 2;
  j.maxDeviationMs = deviation.back();
  return j;
}

} // namespace bench
