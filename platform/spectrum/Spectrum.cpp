// The C interface of the data-logger library over the loggers file named
// by $TMX_LOGGERS (or, when that is unset, $TMX_LOGGER_SIM); LoggersFile.cpp
// gives its syntax. Simulated values are taken when the caller reads them;
// devices are polled on threads of their own (Poller), so that a read
// returns at once with their latest values. The file is parsed again
// whenever its identity or time stamps change (device, inode, size, mtime,
// ctime), so values can be changed while a program runs. A malformed file
// fails every call that needs it with SPSTATUS_SIM_MALFORMED, whose text
// names the file and line.
#include "platform/spectrum/Spectrum.h"

#include "platform/spectrum/Devices.h"
#include "platform/spectrum/LibraryState.h"
#include "platform/spectrum/Simulation.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using spectrum::channelCount;
using spectrum::channelNames;

constexpr const char *defaultVersion = "V3.5-Beta3";
constexpr std::size_t maxHandles = 4096;
const char *const channelUnits[channelCount] = { "degC", "%RH" };

enum class ChannelState
{
  value,
  off,
  fail
};

struct Channel
{
  ChannelState state = ChannelState::value;
  double value = 0.0;
  std::string failure; // a device's failure text; empty for a simulated "fail"
};

// A logger's values as one ReadChannelValues found them.
struct Logger
{
  std::string description;
  Channel channels[channelCount];
};

// The parsed loggers file and the stat data it was parsed from.
struct SimFile
{
  bool cached = false;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};
  std::int32_t status = SPSTATUS_NO_SIM_FILE;
  spectrum::LoggersFile file;
};

struct Handle
{
  bool connected = false;
  Logger logger;
};

std::chrono::steady_clock::time_point realTime()
{
  return std::chrono::steady_clock::now();
}

struct Library
{
  std::mutex mutex;
  SimFile sim;
  std::vector<Handle> handles; // handle value = index + 1
  // Text of the latest occurrence of each status that carries detail.
  std::map<std::int32_t, std::string> details;
  spectrum::Clock clock = realTime;
  std::mt19937 random{ std::random_device{}() };
  spectrum::Devices devices{ clock };
};

// Never destroyed; its pollers are stopped by `unload` when the library is
// unloaded or the process exits.
spectrum::LibraryState<Library> unload;

Library &library()
{
  return spectrum::LibraryState<Library>::get();
}

void copyText(const std::string &text, char *buffer, std::size_t size)
{
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

std::int32_t fail(Library &lib, std::int32_t status, const std::string &detail)
{
  lib.details[status] = detail;
  return status;
}

bool sameTime(const timespec &a, const timespec &b)
{
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

const char *genericText(std::int32_t status)
{
  switch (status) {
    case SPSTATUS_OK:
      return "success";
    case SPSTATUS_NULL_ARGUMENT:
      return "null argument";
    case SPSTATUS_NO_SIM_FILE:
      return "loggers file not set (TMX_LOGGERS or TMX_LOGGER_SIM)";
    case SPSTATUS_SIM_UNREADABLE:
      return "logger simulation file cannot be read";
    case SPSTATUS_SIM_MALFORMED:
      return "logger simulation file malformed";
    case SPSTATUS_NO_LOGGER:
      return "no logger with that read argument";
    case SPSTATUS_BAD_HANDLE:
      return "invalid logger object handle";
    case SPSTATUS_NOT_CONNECTED:
      return "logger object has no channel values";
    case SPSTATUS_BAD_CHANNEL:
      return "invalid channel";
    case SPSTATUS_CHANNEL_DISABLED:
      return "channel disabled";
    case SPSTATUS_CHANNEL_FAILED:
      return "channel failed to read";
    case SPSTATUS_BAD_PROTOCOL:
      return "unknown protocol";
    case SPSTATUS_TOO_MANY_LOGGERS:
      return "too many logger objects";
    case SPSTATUS_NO_READING:
      return "no reading from the device";
    default:
      return nullptr;
  }
}

// The cache entry of the file at path as stat saw it, nothing read yet.
SimFile stamped(const std::string &path, const struct stat &st)
{
  SimFile sim;
  sim.cached = true;
  sim.path = path;
  sim.dev = st.st_dev;
  sim.ino = st.st_ino;
  sim.size = st.st_size;
  sim.mtime = st.st_mtim;
  sim.ctime = st.st_ctim;
  return sim;
}

// Brings lib.sim up to date with the file; returns its status.
std::int32_t refresh(Library &lib)
{
  // The file keeps the name it has always had where it is named by the
  // older variable.
  const char *env = std::getenv("TMX_LOGGERS");
  std::string what = "loggers file ";
  if (env == nullptr) {
    env = std::getenv("TMX_LOGGER_SIM");
    what = "logger simulation file ";
  }
  SimFile &sim = lib.sim;
  if (env == nullptr || *env == '\0') {
    sim = SimFile{};
    return fail(lib, SPSTATUS_NO_SIM_FILE, genericText(SPSTATUS_NO_SIM_FILE));
  }
  std::string path = env;
  struct stat st;
  bool found = ::stat(path.c_str(), &st) == 0;
  if (!found || S_ISDIR(st.st_mode)) {
    std::string reason = found ? "is a directory" : std::strerror(errno);
    sim = SimFile{};
    sim.path = path;
    sim.status = SPSTATUS_SIM_UNREADABLE;
    return fail(lib, SPSTATUS_SIM_UNREADABLE, what + path + " cannot be read: " + reason);
  }
  if (sim.cached && sim.path == path && sim.dev == st.st_dev && sim.ino == st.st_ino &&
      sim.size == st.st_size && sameTime(sim.mtime, st.st_mtim) && sameTime(sim.ctime, st.st_ctim))
    return sim.status;

  SimFile fresh = stamped(path, st);
  std::string text;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  bool ok = f != nullptr;
  if (f) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
      text.append(buf, n);
    ok = !std::ferror(f);
    std::fclose(f);
  }
  if (!ok) {
    std::string reason = std::strerror(errno);
    fresh.status = SPSTATUS_SIM_UNREADABLE;
    sim = fresh;
    return fail(lib, SPSTATUS_SIM_UNREADABLE, what + path + " cannot be read: " + reason);
  }
  unsigned badLine = 0;
  std::string problem;
  const char *root = std::getenv("TMX_SYSFS_ROOT");
  if (!spectrum::parseLoggers(text, root && *root ? root : "/sys", fresh.file, badLine, problem)) {
    SimFile bad = stamped(path, st);
    bad.status = SPSTATUS_SIM_MALFORMED;
    sim = bad;
    lib.details[SPSTATUS_SIM_MALFORMED] = what + path + " line " + std::to_string(badLine) + ": " + problem;
    return sim.status;
  }
  fresh.status = SPSTATUS_OK;
  sim = std::move(fresh);
  lib.devices.update(sim.file);
  return SPSTATUS_OK;
}

// The logger's values now: simulated ones computed, a device's as its
// poller has them.
Logger snapshot(Library &lib, const spectrum::LoggerSpec &spec)
{
  Logger logger;
  logger.description = spec.description;
  double t = std::chrono::duration<double>(lib.clock().time_since_epoch()).count();
  for (int c = 0; c < channelCount; ++c) {
    Channel &ch = logger.channels[c];
    if (!spec.polled()) {
      const spectrum::SimChannel &sim = spec.sim.channels[c];
      ch.state = sim.state == spectrum::SimChannel::number ? ChannelState::value
                 : sim.state == spectrum::SimChannel::off  ? ChannelState::off
                                                           : ChannelState::fail;
      if (ch.state == ChannelState::value)
        ch.value = spectrum::simulate(spec.sim, c, t, lib.random);
      continue;
    }
    bool used = spec.kind == spectrum::SourceKind::hwmon || spec.kind == spectrum::SourceKind::iio
                  ? spec.sysfs.used[c]
                  : spec.modbus.channels[c].used;
    if (!used) {
      ch.state = ChannelState::off;
      continue;
    }
    spectrum::Reading r = lib.devices.latest(spec.readArgument, c);
    ch.state = r.ok ? ChannelState::value : ChannelState::fail;
    ch.value = r.value;
    ch.failure = r.reason;
  }
  return logger;
}

// Finds the handle; on failure returns the status through `status`.
Handle *findHandle(Library &lib, std::uint32_t handle, std::int32_t &status)
{
  if (handle == 0 || handle > lib.handles.size()) {
    status = fail(lib, SPSTATUS_BAD_HANDLE, "no logger object with handle " + std::to_string(handle));
    return nullptr;
  }
  status = SPSTATUS_OK;
  return &lib.handles[handle - 1];
}

// A connected handle and a valid channel, or a status.
Handle *channelHandle(Library &lib, std::uint32_t handle, std::int32_t channel, std::int32_t &status)
{
  Handle *h = findHandle(lib, handle, status);
  if (!h)
    return nullptr;
  if (!h->connected) {
    status = fail(lib,
                  SPSTATUS_NOT_CONNECTED,
                  "logger object " + std::to_string(handle) + " has no channel values (read them first)");
    return nullptr;
  }
  if (channel < 0 || channel >= channelCount) {
    status = fail(lib,
                  SPSTATUS_BAD_CHANNEL,
                  "logger " + h->logger.description + " has no channel " + std::to_string(channel));
    return nullptr;
  }
  return h;
}

// The frame of every channel query: holds the library's lock, refuses a
// null result address (nullText names the call), then finds a connected
// handle with a valid channel. Without one, `status` says why.
class ChannelQuery
{
public:
  ChannelQuery(std::uint32_t handle, std::int32_t channel, const void *result, const char *nullText)
    : lib(library())
    , lock_(lib.mutex)
  {
    if (!result)
      status = fail(lib, SPSTATUS_NULL_ARGUMENT, nullText);
    else
      h = channelHandle(lib, handle, channel, status);
  }

  Library &lib;
  Handle *h = nullptr;
  std::int32_t status = SPSTATUS_OK;

private:
  std::lock_guard<std::mutex> lock_;
};

} // namespace

extern "C"
{

  int32_t SPAPI_GetApiVersion(char *version)
  {
    Library &lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (!version)
      return fail(lib, SPSTATUS_NULL_ARGUMENT, "SPAPI_GetApiVersion: null version buffer");
    // Without a usable file the library still knows its own version; only a
    // malformed file leaves it in doubt.
    std::int32_t status = refresh(lib);
    if (status == SPSTATUS_SIM_MALFORMED)
      return status;
    copyText(status == SPSTATUS_OK ? lib.sim.file.version : std::string(defaultVersion),
             version,
             SPECTRUM_TEXT_SIZE);
    return SPSTATUS_OK;
  }

  int32_t SPAPI_SetProtocol(int32_t protocol)
  {
    Library &lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (protocol != 0)
      return fail(lib, SPSTATUS_BAD_PROTOCOL, "unknown protocol " + std::to_string(protocol));
    return SPSTATUS_OK;
  }

  int32_t SPLGR_CreateLoggerObject(uint32_t *handle)
  {
    Library &lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (!handle)
      return fail(lib, SPSTATUS_NULL_ARGUMENT, "SPLGR_CreateLoggerObject: null handle address");
    if (lib.handles.size() >= maxHandles)
      return fail(lib, SPSTATUS_TOO_MANY_LOGGERS, "too many logger objects");
    lib.handles.emplace_back();
    *handle = static_cast<uint32_t>(lib.handles.size());
    return SPSTATUS_OK;
  }

  int32_t SPLGR_ReadChannelValues(uint32_t handle, int32_t readArgument, uint32_t /*option*/)
  {
    Library &lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    std::int32_t status;
    Handle *h = findHandle(lib, handle, status);
    if (!h)
      return status;
    // Values of an earlier read never outlive a failed one.
    h->connected = false;
    status = refresh(lib);
    if (status != SPSTATUS_OK)
      return status;
    for (const spectrum::LoggerSpec &spec : lib.sim.file.loggers) {
      if (spec.readArgument == readArgument) {
        h->logger = snapshot(lib, spec);
        h->connected = true;
        return SPSTATUS_OK;
      }
    }
    return fail(lib,
                SPSTATUS_NO_LOGGER,
                "no logger with read argument " + std::to_string(readArgument) + " in " + lib.sim.path);
  }

  int32_t SPLGR_GetDescription(uint32_t handle, char *description)
  {
    Library &lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (!description)
      return fail(lib, SPSTATUS_NULL_ARGUMENT, "SPLGR_GetDescription: null description buffer");
    std::int32_t status;
    Handle *h = findHandle(lib, handle, status);
    if (!h)
      return status;
    if (!h->connected)
      return fail(lib,
                  SPSTATUS_NOT_CONNECTED,
                  "logger object " + std::to_string(handle) + " is not connected to a logger");
    copyText(h->logger.description, description, SPECTRUM_TEXT_SIZE);
    return SPSTATUS_OK;
  }

  int32_t SPLGR_GetChannelEnabled(uint32_t handle, int32_t channel, int *enabled)
  {
    ChannelQuery q(handle, channel, enabled, "SPLGR_GetChannelEnabled: null result address");
    if (!q.h)
      return q.status;
    *enabled = q.h->logger.channels[channel].state != ChannelState::off;
    return SPSTATUS_OK;
  }

  int32_t SPLGR_GetChannelValue(uint32_t handle, int32_t channel, double *value)
  {
    ChannelQuery q(handle, channel, value, "SPLGR_GetChannelValue: null result address");
    if (!q.h)
      return q.status;
    const Channel &c = q.h->logger.channels[channel];
    std::string which = std::string(channelNames[channel]) + " channel of logger " + q.h->logger.description;
    if (c.state == ChannelState::off)
      return fail(q.lib, SPSTATUS_CHANNEL_DISABLED, which + " is disabled");
    if (c.state == ChannelState::fail && !c.failure.empty())
      return fail(q.lib, SPSTATUS_NO_READING, c.failure);
    if (c.state == ChannelState::fail)
      return fail(q.lib, SPSTATUS_CHANNEL_FAILED, which + " failed to read");
    *value = c.value;
    return SPSTATUS_OK;
  }

  int32_t SPLGR_GetChannelUnits(uint32_t handle, int32_t channel, char *units)
  {
    ChannelQuery q(handle, channel, units, "SPLGR_GetChannelUnits: null units buffer");
    if (!q.h)
      return q.status;
    copyText(channelUnits[channel], units, SPECTRUM_UNITS_SIZE);
    return SPSTATUS_OK;
  }

  int32_t SPUTL_FormatStatusCode(int32_t status, char *text)
  {
    if (!text)
      return SPSTATUS_NULL_ARGUMENT;
    Library &lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    auto detail = lib.details.find(status);
    if (status != SPSTATUS_OK && detail != lib.details.end()) {
      copyText(detail->second, text, SPECTRUM_TEXT_SIZE);
    } else if (const char *generic = genericText(status)) {
      copyText(generic, text, SPECTRUM_TEXT_SIZE);
    } else {
      copyText("unknown logger library status " + std::to_string(status), text, SPECTRUM_TEXT_SIZE);
    }
    return SPSTATUS_OK;
  }

} // extern "C"
