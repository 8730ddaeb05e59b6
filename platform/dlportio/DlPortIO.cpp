#include "platform/dlportio/DlPortIO.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

constexpr std::uint8_t dryByte = 0xFF;

std::atomic<DlPortErrorReporter> reporter{ nullptr };

std::mutex stateMutex;
// Ports whose failure was reported and that have not been read since. It
// holds no more than the distinct ports the program reads (one per housing).
std::set<std::uint32_t> failingPorts;

std::string devicePath()
{
  const char *env = std::getenv("TMX_PORT_DEVICE");
  return env && *env ? env : "/dev/port";
}

// Reads the byte; on failure returns false with the reason.
bool readByte(const std::string &path, std::uint32_t port, std::uint8_t &byte, std::string &reason)
{
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  ssize_t n;
  do {
    n = ::pread(fd, &byte, 1, static_cast<off_t>(port));
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    reason = std::strerror(errno);
  else if (n == 0)
    reason = "no such port (end of file)";
  ::close(fd);
  return n == 1;
}

} // namespace

extern "C"
{

  uint8_t DlPortReadPortUchar(uint32_t port)
  {
    std::string path = devicePath();
    std::uint8_t byte = dryByte;
    std::string reason;
    bool ok = readByte(path, port, byte, reason);

    bool report = false;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      if (ok)
        failingPorts.erase(port);
      else
        report = failingPorts.insert(port).second;
    }
    if (report) {
      char text[256];
      std::snprintf(text,
                    sizeof text,
                    "Cannot read port 0x%x from %s: %s",
                    static_cast<unsigned>(port),
                    path.c_str(),
                    reason.c_str());
      if (DlPortErrorReporter r = reporter.load())
        r(text);
      else
        std::fprintf(stderr, "%s\n", text);
    }
    return ok ? byte : dryByte;
  }

  void DlPortSetErrorReporter(DlPortErrorReporter r)
  {
    reporter.store(r);
  }

} // extern "C"
