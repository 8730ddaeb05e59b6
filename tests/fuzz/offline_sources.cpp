// The fuzz target's device sources: every device fails at once, so that
// no input makes the library open a connection or read sysfs.
#include "platform/spectrum/Source.h"

namespace spectrum {

namespace {

class OfflineSource : public Source
{
public:
  void read(std::size_t, Reading out[channelCount]) override
  {
    for (int c = 0; c < channelCount; ++c)
      out[c].reason = "offline";
  }
};

} // namespace

std::unique_ptr<Source> makeModbusSource(const std::vector<LoggerSpec> &)
{
  return std::make_unique<OfflineSource>();
}

std::unique_ptr<Source> makeSysfsSource(const std::vector<LoggerSpec> &)
{
  return std::make_unique<OfflineSource>();
}

} // namespace spectrum
