#include "tests/support/MonitorFiles.h"

#include "tests/support/SupportDetail.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sys/stat.h>

namespace tmx::test {

std::vector<std::string> monitorEnvironment(const TempDir &dir)
{
  return { "TMX_CONFIG_DIR=" + dir.path(),
           "TMX_LOG_DIR=" + dir.file("logfiles"),
           "TMX_LOGGER_SIM=" + dir.file("loggers.sim"),
           "TMX_PORT_DEVICE=" + dir.file("port.dev") };
}

void writeMonitorFiles(const TempDir &dir, const MonitorFiles &files)
{
  dir.write("tmx.cfg", files.config);
  dir.write("loggers.sim", files.loggers);
  std::string ports(0x400, '\xFF');
  if (files.electronicsWet)
    ports[0x379] = '\xBF';
  dir.write("port.dev", ports);
  if (::mkdir(dir.file("logfiles").c_str(), 0755) != 0 && errno != EEXIST)
    throw failure("mkdir " + dir.file("logfiles"));
}

std::vector<std::string> logFileNames(const TempDir &dir)
{
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(dir.file("logfiles"), ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string logText(const TempDir &dir)
{
  std::string text;
  for (const std::string &name : logFileNames(dir))
    text += readFile(dir.file("logfiles") + "/" + name);
  return text;
}

std::unique_ptr<ChildProcess> startMonitor(const TempDir &dir,
                                           const std::vector<std::string> &orbArgs,
                                           bool quiet)
{
  std::vector<std::string> argv = programArgs("tmx", orbArgs);
  if (quiet)
    argv.insert(argv.begin(), { "/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null" });
  ChildProcess::Options options;
  options.env = monitorEnvironment(dir);
  options.stdinPipe = true;
  options.cwd = dir.path();
  return std::make_unique<ChildProcess>(argv, options);
}

std::string yesLines(int n)
{
  std::string lines;
  for (int i = 0; i < n; ++i)
    lines += "y\n";
  return lines;
}

} // namespace tmx::test
