#include "tests/alarms/AlarmTestSupport.h"

#include <sstream>

namespace alarmtest {

FakeClock::FakeClock()
  : wall_(localTime(2001, 12, 5, 10, 11, 12))
{
  setClockSource(this);
}

FakeClock::~FakeClock()
{
  setClockSource(nullptr);
}

void CountingSink::send_event(const CORBA::Any &)
{
  std::lock_guard<std::mutex> guard(mutex_);
  ++count_;
  arrived_.notify_all();
}

bool CountingSink::waitFor(std::size_t n, int ms)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return count_ >= n; });
}

std::size_t CountingSink::count()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return count_;
}

std::vector<std::string> lines(const std::string &text)
{
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  return result;
}

} // namespace alarmtest
