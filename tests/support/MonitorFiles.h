// The files of a monitor under test: its run directory (configuration,
// logger simulation, port device, log directory), its environment, its log
// files, and the monitor started there as a child.
#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TestUtil.h"

#include <memory>
#include <string>
#include <vector>

namespace tmx::test {

// The environment ("NAME=value" entries) of a monitor set up in dir: its
// configuration there, log files in dir/logfiles, the logger simulation in
// dir/loggers.sim and the port device in dir/port.dev.
std::vector<std::string> monitorEnvironment(const TempDir &dir);

// The files of such a monitor: tmx.cfg, loggers.sim, port.dev (every status
// line high, dry; with electronicsWet the electronics line at 0x379 low)
// and the log directory. The defaults are both housings on the port at
// 0x378 and two loggers reading 18.25/41.0 (TMX-S1) and 24.10/35.5 (TMX-E1).
struct MonitorFiles
{
  std::string config = "TMX-S1 V3.5-Beta3,1,0x378,0x20\nTMX-E1 V3.5-Beta3,2,0x378,0x40\n";
  std::string loggers = "version V3.5-Beta3\nlogger 1 TMX-S1 18.25 41.0\nlogger 2 TMX-E1 24.10 35.5\n";
  bool electronicsWet = false;
};
void writeMonitorFiles(const TempDir &dir, const MonitorFiles &files = {});

// The names of the log files of such a monitor (in dir/logfiles), sorted;
// and their text, one after the other.
std::vector<std::string> logFileNames(const TempDir &dir);
std::string logText(const TempDir &dir);

// n console lines "y": input for the flood runs.
std::string yesLines(int n);

// Starts the monitor set up in dir (writeMonitorFiles) with the ORB
// arguments: monitorEnvironment(dir), standard input a pipe, dir the
// working directory. With quiet its standard output (a trace line per
// console line) goes to /dev/null instead of being captured.
std::unique_ptr<ChildProcess> startMonitor(const TempDir &dir,
                                           const std::vector<std::string> &orbArgs,
                                           bool quiet = false);

} // namespace tmx::test
