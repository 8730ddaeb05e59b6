// monitor_bench: the real monitor in steady state, measured from outside.
//
//   monitor_bench [--seconds N] [--warmup N] [--flood]
//
// Starts a private omniNames, tmx-notifier, tmx (in a temporary run
// directory with simulated loggers and port) and tmx-watch, lets the
// monitor run for the warm-up, then for N seconds (default 60), and reports:
//   - CPU: utime + stime of tmx over the window (/proc/PID/stat, 10 ms
//     ticks) and the sum of its threads' run time (/proc/PID/task/*/
//     schedstat, nanoseconds), as a percentage of one core;
//   - peak resident memory: VmHWM of tmx (/proc/PID/status) at the end;
//   - latency from a sample being taken to tmx-watch printing its record:
//     each line of both programs' standard output is time-stamped on
//     arrival (monotonic clock, microseconds); a sample starts with the
//     monitor's trace line "Sampling temp for <housing>", printed right
//     before the logger is read, and ends with tmx-watch's housekeeping line
//     for that housing. Both programs flush every line.
// With --flood the electronics housing is wet (its water alarm trips every
// 7 s) and the monitor's console is flooded with "y" lines for the whole
// window, as `yes | tmx` does; the report adds the peak of VmRSS sampled
// during the window, and how many housekeeping records and alarm messages
// tmx-watch printed in it with the longest gap between records.
// Then types "quit" and waits for the monitor to end.
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Line
{
  SteadyClock::time_point at;
  std::string text;
};

// A child whose standard output is read line by line, each line stamped on
// arrival. Standard input is a pipe; standard error is inherited.
class TimedChild
{
public:
  // Lines that begin with skipPrefix (when not empty) are not kept.
  TimedChild(const std::vector<std::string> &argv,
             const std::vector<std::string> &env,
             const std::string &cwd,
             const std::string &skipPrefix = "")
    : skipPrefix_(skipPrefix)
  {
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> envStrings;
    for (char **e = environ; *e != nullptr; ++e)
      envStrings.emplace_back(*e);
    for (const auto &e : env)
      envStrings.push_back(e);
    std::vector<char *> envp, args;
    for (auto &e : envStrings)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto &a : argvCopy)
      args.push_back(a.data());
    args.push_back(nullptr);
    std::string oldCwd;
    char buf[4096];
    if (!cwd.empty() && ::getcwd(buf, sizeof buf) != nullptr) {
      oldCwd = buf;
      if (::chdir(cwd.c_str()) != 0)
        throw std::runtime_error("chdir " + cwd);
    }
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    if (!oldCwd.empty() && ::chdir(oldCwd.c_str()) != 0)
      throw std::runtime_error("chdir back");
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    if (rc != 0)
      throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    outFd_ = out[0];
    inFd_ = in[1];
    reader_ = std::thread([this] { readLoop(); });
  }
  ~TimedChild()
  {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (inFd_ >= 0)
      ::close(inFd_);
    if (reader_.joinable())
      reader_.join();
    ::close(outFd_);
  }

  pid_t pid() const { return pid_; }
  void write(const std::string &text)
  {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(inFd_, text.data() + done, text.size() - done);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        std::perror("write");
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }
  // Signal, then wait (bounded); true when it ended with status 0.
  bool stop(int sig, std::chrono::seconds timeout)
  {
    if (sig != 0)
      ::kill(pid_, sig);
    const auto deadline = SteadyClock::now() + timeout;
    int status = 0;
    while (SteadyClock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::vector<Line> lines()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

private:
  void readLoop()
  {
    std::string partial;
    char buf[8192];
    for (;;) {
      const ssize_t n = ::read(outFd_, buf, sizeof buf);
      if (n <= 0)
        return;
      const auto at = SteadyClock::now();
      partial.append(buf, static_cast<std::size_t>(n));
      std::size_t nl;
      std::size_t from = 0;
      while ((nl = partial.find('\n', from)) != std::string::npos) {
        if (skipPrefix_.empty() || partial.compare(from, skipPrefix_.size(), skipPrefix_) != 0) {
          std::lock_guard<std::mutex> guard(mutex_);
          lines_.push_back(Line{ at, partial.substr(from, nl - from) });
        }
        from = nl + 1;
      }
      partial.erase(0, from);
    }
  }

  const std::string skipPrefix_;
  pid_t pid_ = -1;
  int outFd_ = -1;
  int inFd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<Line> lines_;
};

long cpuTicks(pid_t pid)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name (which may hold blanks) start after ')'.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; rest >> field; ++i) {
    if (i == 14)
      utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

// CPU time of every thread of the process, nanoseconds (schedstat).
long long cpuNanoseconds(pid_t pid)
{
  long long total = 0;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR *d = ::opendir(taskDir.c_str())) {
    while (dirent *e = ::readdir(d)) {
      if (e->d_name[0] == '.')
        continue;
      std::ifstream in(taskDir + "/" + e->d_name + "/schedstat");
      long long ns = 0;
      if (in >> ns)
        total += ns;
    }
    ::closedir(d);
  }
  return total;
}

std::string statusField(pid_t pid, const std::string &name)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, name.size() + 1, name + ":") == 0)
      return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  return "?";
}

double percentile(std::vector<double> v, double p)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char **argv)
{
  int seconds = 60, warmup = 10;
  bool flood = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc)
      seconds = std::atoi(argv[++i]);
    else if (a == "--warmup" && i + 1 < argc)
      warmup = std::atoi(argv[++i]);
    else if (a == "--flood")
      flood = true;
    else {
      std::fprintf(stderr, "usage: monitor_bench [--seconds N] [--warmup N] [--flood]\n");
      return 2;
    }
  }
  using namespace tmx::test;
  try {
    CorbaEnv env;
    env.startNotifier();
    TempDir dir("tmx-bench");
    MonitorFiles files;
    files.electronicsWet = flood;
    writeMonitorFiles(dir, files);

    std::vector<std::string> watchArgv{ binaryPath("tmx-watch") };
    for (const auto &a : env.orbArgs())
      watchArgv.push_back(a);
    watchArgv.insert(watchArgv.end(), { "--filter", flood ? "housekeeping message" : "housekeeping" });
    TimedChild watch(watchArgv, {}, "");
    // Subscribed before the monitor starts.
    if (!eventually([&] { return env.notifier()->err().find("subscribed") != std::string::npos; }))
      throw std::runtime_error("tmx-watch did not subscribe");

    std::vector<std::string> tmxArgv{ binaryPath("tmx") };
    for (const auto &a : env.orbArgs())
      tmxArgv.push_back(a);
    TimedChild tmx(tmxArgv, monitorEnvironment(dir), dir.path(), flood ? "queuing for event " : "");

    std::this_thread::sleep_for(std::chrono::seconds(warmup));
    const long ticks0 = cpuTicks(tmx.pid());
    const long long ns0 = cpuNanoseconds(tmx.pid());
    const auto t0 = SteadyClock::now();
    std::atomic<bool> flooding{ flood };
    std::thread floodWriter([&] {
      const std::string lines = yesLines(32768);
      while (flooding.load())
        tmx.write(lines);
    });
    long peakRssKb = 0;
    while (SteadyClock::now() - t0 < std::chrono::seconds(seconds)) {
      const std::string rssNow = statusField(tmx.pid(), "VmRSS");
      if (rssNow != "?")
        peakRssKb = std::max(peakRssKb, std::stol(rssNow));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const auto t1 = SteadyClock::now();
    flooding.store(false);
    // A write blocked on a full pipe returns once the console reads on.
    floodWriter.join();
    const long ticks1 = cpuTicks(tmx.pid());
    // Threads that ended inside the window are missing from this sum; the
    // monitor starts and ends none in steady state.
    const long long ns1 = cpuNanoseconds(tmx.pid());
    const double window = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    const double cpuPercent = 100.0 * static_cast<double>(ticks1 - ticks0) / sysconf(_SC_CLK_TCK) / window;
    const std::string hwm = statusField(tmx.pid(), "VmHWM");
    const std::string rss = statusField(tmx.pid(), "VmRSS");

    tmx.write("quit\n");
    const bool quitOk = tmx.stop(0, std::chrono::seconds(30));

    // Pair each sampling line with the next record of that housing.
    const auto tmxLines = tmx.lines();
    const auto watchLines = watch.lines();
    std::vector<double> latencyMs;
    const struct
    {
      const char *sampling;
      const char *record;
    } housings[] = { { "Sampling temp for Electronics Housing", "housing=ELECTRONICS_HOUSING" },
                     { "Sampling temp for Spectrograph Housing", "housing=SPECTROGRAPH_HOUSING" } };
    for (const auto &h : housings) {
      std::size_t w = 0;
      for (const auto &line : tmxLines) {
        if (line.text.find(h.sampling) == std::string::npos)
          continue;
        while (w < watchLines.size() &&
               (watchLines[w].at < line.at || watchLines[w].text.find(h.record) == std::string::npos))
          ++w;
        if (w == watchLines.size())
          break;
        latencyMs.push_back(std::chrono::duration<double, std::milli>(watchLines[w].at - line.at).count());
        ++w;
      }
    }

    std::printf("window            %.1f s after %d s of warm-up\n", window, warmup);
    std::printf("cpu               %.3f %% of one core (%ld ticks of 1/%ld s, /proc/PID/stat)\n",
                cpuPercent,
                ticks1 - ticks0,
                sysconf(_SC_CLK_TCK));
    std::printf("cpu (schedstat)   %.4f %% of one core (%.1f ms of CPU time)\n",
                100.0 * static_cast<double>(ns1 - ns0) / 1e9 / window,
                static_cast<double>(ns1 - ns0) / 1e6);
    std::printf("peak rss (VmHWM)  %s (VmRSS %s)\n", hwm.c_str(), rss.c_str());
    std::printf("latency samples   %zu\n", latencyMs.size());
    std::printf("latency ms        p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n",
                percentile(latencyMs, 50),
                percentile(latencyMs, 90),
                percentile(latencyMs, 99),
                percentile(latencyMs, 100));
    if (flood) {
      std::size_t records = 0, alarms = 0;
      double longestGap = 0;
      SteadyClock::time_point previous = t0;
      for (const auto &line : watchLines) {
        if (line.at < t0 || line.at > t1)
          continue;
        if (line.text.find("housing=") != std::string::npos) {
          ++records;
          longestGap = std::max(longestGap, std::chrono::duration<double>(line.at - previous).count());
          previous = line.at;
        } else if (line.text.find("water alarm") != std::string::npos) {
          ++alarms;
        }
      }
      longestGap = std::max(longestGap, std::chrono::duration<double>(t1 - previous).count());
      std::printf("flood rss peak    %ld kB (VmRSS sampled every 200 ms)\n", peakRssKb);
      std::printf("flood delivery    %zu housekeeping records (longest gap %.2f s), %zu water alarms\n",
                  records,
                  longestGap,
                  alarms);
    }
    std::printf("quit              %s\n", quitOk ? "exit 0" : "FAILED");
    watch.stop(SIGTERM, std::chrono::seconds(10));
    return quitOk ? 0 : 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "monitor_bench: %s\n", e.what());
    return 1;
  }
}
