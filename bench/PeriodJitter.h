// Pass-period jitter of the periodic sampling task: one 1000-tick callback
// run for a number of periods, each pass doing the caller's work, and the
// deviation of each period from 1000 ms.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Jitter
{
  std::size_t periods = 0;
  double meanPeriodMs = 0;
  double medianDeviationMs = 0;
  double maxDeviationMs = 0;
};

// The number of periods the first argument asks for (1 to 100000, 30 when
// there is none), or 0 after the usage of `program` on stderr.
long periodsArgument(int argc, char **argv, const char *program);

// Runs the task until `periods` periods have passed (bounded by 2 s a
// period and 10 s more), calling work(start of the pass) on each pass on
// the task's thread. Nothing when the task did not start or ran short,
// which is said on stderr after "program: ".
std::optional<Jitter> measureJitter(const char *program,
                                    long periods,
                                    const std::function<void(Clock::time_point)> &work);

} // namespace bench
