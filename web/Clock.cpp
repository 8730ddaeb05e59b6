#include "web/Clock.h"

namespace tmx::web {

namespace {

class RealClock : public Clock
{
public:
  std::chrono::steady_clock::time_point steady() const override { return std::chrono::steady_clock::now(); }
  std::chrono::system_clock::time_point wall() const override { return std::chrono::system_clock::now(); }
};

} // namespace

const Clock &systemClock()
{
  static const RealClock clock;
  return clock;
}

double unixSeconds(std::chrono::system_clock::time_point t)
{
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

} // namespace tmx::web
