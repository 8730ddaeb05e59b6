// Linux temperature and humidity sensors through sysfs: hwmon
// (class/hwmon/hwmonN: temp1_input, humidity1_input in milli-units) and IIO
// (bus/iio/devices/iio:deviceN: in_X_input, or (in_X_raw + in_X_offset) *
// in_X_scale, in milli-units as well). The device is looked up by its name
// on every poll, as the numbers change when drivers are bound again.
#include "platform/spectrum/Source.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace spectrum {

namespace {

// The content of a sysfs attribute, or false with the reason (errno text,
// as a driver reports a failed bus transfer or CRC through read()).
bool readAttribute(const std::string &path, std::string &text, std::string &reason)
{
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason = path + ": " + std::strerror(errno);
    return false;
  }
  char buf[128];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  int error = errno;
  ::close(fd);
  if (n < 0) {
    reason = path + ": " + std::strerror(error);
    return false;
  }
  text.assign(buf, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return true;
}

bool readNumber(const std::string &path, double &value, std::string &reason)
{
  std::string text;
  if (!readAttribute(path, text, reason))
    return false;
  char *end = nullptr;
  value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) {
    reason = path + ": not a number: " + text.substr(0, 40);
    return false;
  }
  return true;
}

bool exists(const std::string &path)
{
  return ::access(path.c_str(), F_OK) == 0;
}

std::string resolved(const std::string &path)
{
  char *real = ::realpath(path.c_str(), nullptr);
  std::string out = real ? real : path;
  std::free(real);
  return out;
}

class SysfsSource : public TargetSource
{
public:
  using TargetSource::TargetSource;

  void read(std::size_t target, Reading out[channelCount]) override
  {
    const LoggerSpec &t = targets_.at(target);
    std::string dir, reason;
    if (!find(t, dir, reason)) {
      failAll(out, reason);
      return;
    }
    for (int c = 0; c < channelCount; ++c) {
      if (!t.sysfs.used[c])
        continue;
      double milli = 0;
      bool ok = t.kind == SourceKind::hwmon ? hwmonValue(dir, c, milli, out[c].reason)
                                            : iioValue(dir, c, milli, out[c].reason);
      if (!ok)
        continue;
      double v = milli / 1000.0;
      // Some sensors report humidity a little beyond its range.
      out[c].value = c == 1 ? std::min(100.0, std::max(0.0, v)) : v;
      out[c].ok = true;
    }
  }

private:
  static bool hwmonValue(const std::string &dir, int c, double &milli, std::string &reason)
  {
    return readNumber(dir + (c == 0 ? "/temp1_input" : "/humidity1_input"), milli, reason);
  }

  static bool iioValue(const std::string &dir, int c, double &milli, std::string &reason)
  {
    const std::string base = dir + (c == 0 ? "/in_temp" : "/in_humidityrelative");
    if (exists(base + "_input"))
      return readNumber(base + "_input", milli, reason);
    double raw = 0, offset = 0, scale = 1;
    if (!readNumber(base + "_raw", raw, reason))
      return false;
    if (exists(base + "_offset") && !readNumber(base + "_offset", offset, reason))
      return false;
    const std::string scaleFile = exists(base + "_scale") ? base + "_scale" : dir + "/in_scale";
    if (exists(scaleFile) && !readNumber(scaleFile, scale, reason))
      return false;
    milli = (raw + offset) * scale;
    return true;
  }

  // The one device directory with that name (and path part), or false with
  // the reason.
  static bool find(const LoggerSpec &t, std::string &dir, std::string &reason)
  {
    const bool hwmon = t.kind == SourceKind::hwmon;
    const std::string parent = t.sysfs.root + (hwmon ? "/class/hwmon" : "/bus/iio/devices");
    const std::string prefix = hwmon ? "hwmon" : "iio:device";
    std::vector<std::string> found;
    if (DIR *d = ::opendir(parent.c_str())) {
      while (dirent *e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (entry.compare(0, prefix.size(), prefix) != 0)
          continue;
        std::string path = parent + "/" + entry, name, ignored;
        if (!readAttribute(path + "/name", name, ignored) || name != t.sysfs.name)
          continue;
        if (!t.sysfs.path.empty() && resolved(path).find(t.sysfs.path) == std::string::npos &&
            resolved(path + "/device").find(t.sysfs.path) == std::string::npos)
          continue;
        found.push_back(path);
      }
      ::closedir(d);
    }
    std::sort(found.begin(), found.end());
    const std::string kind = hwmon ? "hwmon" : "iio";
    if (found.empty()) {
      reason = "no " + kind + " device named " + t.sysfs.name +
               (t.sysfs.path.empty() ? "" : " at " + t.sysfs.path) + " under " + parent;
      return false;
    }
    if (found.size() > 1) {
      reason = std::to_string(found.size()) + " " + kind + " devices named " + t.sysfs.name +
               " (choose one with path=):";
      for (const std::string &f : found)
        reason += " " + resolved(exists(f + "/device") ? f + "/device" : f);
      return false;
    }
    dir = found.front();
    return true;
  }
};

} // namespace

std::unique_ptr<Source> makeSysfsSource(const std::vector<LoggerSpec> &targets)
{
  return std::make_unique<SysfsSource>(targets);
}

} // namespace spectrum
