// Pass-period jitter of the periodic sampling task: one 1000-tick callback,
// N periods (default 30, first argument overrides). Prints the median and
// the maximum deviation of the period from 1000 ms.
#include "bench/PeriodJitter.h"
#include "framework/ErrorHandler.h"

#include <cstdio>

int main(int argc, char **argv)
{
  const long periods = bench::periodsArgument(argc, argv, "periodic_jitter");
  if (periods == 0)
    return 2;
  traceLevel = 0;

  const auto jitter = bench::measureJitter("periodic_jitter", periods, [](bench::Clock::time_point) {});
  if (!jitter)
    return 1;
  std::printf("periodic_jitter: %zu periods of 1000 ticks, mean period %.3f ms\n",
              jitter->periods,
              jitter->meanPeriodMs);
  std::printf(
    "median deviation %.3f ms, max deviation %.3f ms\n", jitter->medianDeviationMs, jitter->maxDeviationMs);
  return 0;
}
