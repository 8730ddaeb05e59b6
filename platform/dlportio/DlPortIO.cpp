#include "platform/dlportio/DlPortIO.h"

#include "config/AlarmTexts.h"
#include "platform/dlportio/PortMap.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

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

// Reads the byte at offset `port` of a file (/dev/port, or a test's file).
bool readFileByte(const std::string &path, std::uint32_t port, std::uint8_t &byte, std::string &reason)
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

// The I/O base of parallel port `number` as the kernel has it; 0x378
// (LPT1) when the kernel does not say.
std::uint32_t parportBase(unsigned number)
{
  std::ifstream in("/proc/sys/dev/parport/parport" + std::to_string(number) + "/base-addr");
  unsigned long base = 0;
  return in >> base && base > 0 && base < 0x10000 ? static_cast<std::uint32_t>(base) : 0x378;
}

// Reads the status register of a parallel port through its ppdev device:
// claimed for the read only, with no privilege beyond access to the device
// (group lp). PPRSTATUS gives the register as the port space has it (BUSY
// inverted by the hardware), so masks keep their meaning. Only the status
// register (base + 1) can be read this way.
bool readPpdevStatus(const std::string &path,
                     unsigned number,
                     std::uint32_t port,
                     std::uint8_t &byte,
                     std::string &reason)
{
  const std::uint32_t status = parportBase(number) + 1;
  if (port != status) {
    char text[96];
    std::snprintf(
      text, sizeof text, "a parallel port device has only its status register (port 0x%x)", status);
    reason = text;
    return false;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  unsigned char value = 0;
  bool ok = ::ioctl(fd, PPCLAIM) == 0;
  if (!ok)
    reason = std::string("cannot claim the port: ") + std::strerror(errno);
  else {
    ok = ::ioctl(fd, PPRSTATUS, &value) == 0;
    if (!ok)
      reason = std::string("cannot read the status register: ") + std::strerror(errno);
    ::ioctl(fd, PPRELEASE);
  }
  ::close(fd);
  if (ok)
    byte = value;
  return ok;
}

// Reads the byte; on failure returns false with the reason. A character
// device of the ppdev major (99) is a parallel port's ppdev device; any
// other path is read as a port space file.
bool readByte(const std::string &path, std::uint32_t port, std::uint8_t &byte, std::string &reason)
{
  constexpr unsigned ppdevMajor = 99;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == ppdevMajor)
    return readPpdevStatus(path, minor(st.st_rdev), port, byte, reason);
  return readFileByte(path, port, byte, reason);
}

} // namespace

extern "C"
{

  uint8_t DlPortReadPortUchar(uint32_t port)
  {
    std::vector<std::string> reports;
    std::uint8_t byte = dryByte;
    // With a port map and no port device, the bits the map leaves alone
    // read high.
    const char *device = std::getenv("TMX_PORT_DEVICE");
    if (!tmx::portmap::active() || (device && *device)) {
      std::string path = devicePath();
      std::string reason;
      bool ok = readByte(path, port, byte, reason);
      if (!ok)
        byte = dryByte;
      bool report = false;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (ok)
          failingPorts.erase(port);
        else
          report = failingPorts.insert(port).second;
      }
      if (report)
        reports.push_back(tmx::alarmtext::portReadFailed(port, path, reason));
    }
    tmx::portmap::apply(port, byte, reports);
    for (const std::string &text : reports) {
      if (DlPortErrorReporter r = reporter.load())
        r(text.c_str());
      else
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    return byte;
  }

  void DlPortSetErrorReporter(DlPortErrorReporter r)
  {
    reporter.store(r);
  }

} // extern "C"
