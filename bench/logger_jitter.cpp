// Pass-period jitter of the periodic sampling task while each pass reads
// two loggers through libspectrum as the monitor does: once with simulated
// loggers, then in the same run with two dead Modbus TCP devices on the
// loopback (one refusing connections, one accepting and never answering).
// N periods each (default 30, first argument overrides); prints the median
// and the maximum deviation of the period from 1000 ms, and the longest
// time a pass spent in the library.
#include "bench/PeriodJitter.h"
#include "framework/ErrorHandler.h"
#include "platform/spectrum/Spectrum.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace {

// A socket listening on 127.0.0.1 at a free port, never accepting; unless
// keepListening it is closed again at once, so that the port refuses.
int loopbackPort(bool keepListening, int &fd)
{
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    return -1;
  if (!keepListening) {
    ::close(fd);
    fd = -1;
  }
  return ntohs(addr.sin_port);
}

// The sampling pass: both channels of both loggers; keeps the longest time
// a pass spent in the library.
class Pass
{
public:
  explicit Pass(std::uint32_t handle)
    : handle_(handle)
  {
  }

  void operator()(bench::Clock::time_point start)
  {
    for (int32_t arg : { 1, 2 }) {
      SPLGR_ReadChannelValues(handle_, arg, 0);
      for (int32_t ch : { 0, 1 }) {
        double v;
        char text[SPECTRUM_TEXT_SIZE];
        SPUTL_FormatStatusCode(SPLGR_GetChannelValue(handle_, ch, &v), text);
      }
    }
    const auto spent = bench::Clock::now() - start;
    std::lock_guard<std::mutex> guard(mutex_);
    longest_ = std::max(longest_, spent);
  }

  bench::Clock::duration longest()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return longest_;
  }

private:
  std::uint32_t handle_;
  std::mutex mutex_;
  bench::Clock::duration longest_{};
};

// Runs `periods` passes against the loggers file `text`; false on failure.
bool measure(const char *label, const std::string &path, const std::string &text, long periods)
{
  std::ofstream(path) << text;
  std::uint32_t handle = 0;
  SPLGR_CreateLoggerObject(&handle);
  SPLGR_ReadChannelValues(handle, 1, 0); // starts the pollers

  Pass pass(handle);
  const auto jitter =
    bench::measureJitter("logger_jitter", periods, [&](bench::Clock::time_point start) { pass(start); });
  if (!jitter)
    return false;
  std::printf("%-22s median deviation %.3f ms, max deviation %.3f ms, longest pass in the library %.3f ms\n",
              label,
              jitter->medianDeviationMs,
              jitter->maxDeviationMs,
              std::chrono::duration<double, std::milli>(pass.longest()).count());
  return true;
}
} // namespace

int main(int argc, char **argv)
{
  const long periods = bench::periodsArgument(argc, argv, "logger_jitter");
  if (periods == 0)
    return 2;
  traceLevel = 0;
  char dir[] = "/tmp/tmx-logger-jitter.XXXXXX";
  if (!::mkdtemp(dir))
    return 1;
  const std::string path = std::string(dir) + "/loggers";
  ::setenv("TMX_LOGGERS", path.c_str(), 1);

  int refusing = -1, silent = -1;
  const int refused = loopbackPort(false, refusing), mute = loopbackPort(true, silent);
  if (refused < 0 || mute < 0)
    return 1;
  const std::string channels = " temp=input:0:int16:0.1 rh=input:1:int16:0.1\n";
  bool ok = measure("simulated loggers:",
                    path,
                    "logger 1 TMX-E1 sim temp=24 rh=35 drift=1 period=60 noise=0.05\n"
                    "logger 2 TMX-S1 sim temp=18 rh=41 drift=1 period=60 noise=0.05\n",
                    periods) &&
            measure("dead Modbus devices:",
                    path,
                    "logger 1 TMX-E1 modbus-tcp host=127.0.0.1 port=" + std::to_string(refused) + channels +
                      "logger 2 TMX-S1 modbus-tcp host=127.0.0.1 port=" + std::to_string(mute) + channels,
                    periods);
  ::close(silent);
  std::remove(path.c_str());
  ::rmdir(dir);
  return ok ? 0 : 1;
}
