// Child processes for tests: fork and exec with captured output, a
// bounded wait for their end, a program run to its end with a time-out, and
// the paths of this build's executables.
#pragma once

#include "tests/support/TestUtil.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tmx::test {

// The full path of an executable found in PATH, or "" when there is none.
std::string findInPath(const std::string &name);

// Directory of the project's built executables (build/bin), and
// binaryPath("tmx-watch") = that directory + "/tmx-watch".
std::string binDir();
std::string binaryPath(const std::string &name);
// The command line of one of them: {binaryPath(name), orbArgs..., extra...}.
std::vector<std::string> programArgs(const std::string &name,
                                     const std::vector<std::string> &orbArgs,
                                     const std::vector<std::string> &extra = {});

// How a child ended.
struct ExitStatus
{
  bool exited = false;   // normal exit: code is valid
  int code = -1;         // exit status
  int signal = 0;        // terminating signal, 0 if none
  bool timedOut = false; // was still running at the deadline (then killed)
  bool ok() const { return exited && code == 0; }
  std::string describe() const;
};

// One child process (fork and exec). It is killed (SIGKILL) when the test
// process dies without cleaning up (a crash, a ctest time-out), so no
// omniNames or notifier outlives its test. Standard output and standard
// error are captured by a reader thread (unless passed through); standard
// input is a pipe (closeStdin() gives end of file) or /dev/null. The
// destructor stops the child (SIGTERM, then SIGKILL after a bounded wait)
// and reaps it.
class ChildProcess
{
public:
  struct Options
  {
    // Extra "NAME=value" entries; they override the inherited environment.
    std::vector<std::string> env;
    // false: the child's stdout/stderr are the test's own.
    bool capture = true;
    // true: stdin is a pipe written with writeStdin(); false: /dev/null.
    bool stdinPipe = false;
    // Working directory; empty keeps the test's.
    std::string cwd;
  };

  // argv[0] is the program path (no PATH search unless it has no '/').
  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(const std::vector<std::string> &argv);
  ChildProcess(const std::vector<std::string> &argv, const Options &options);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  pid_t pid() const { return pid_; }
  // True until the child has been reaped.
  bool running();
  // Sends a signal; false when the child is already reaped.
  bool signal(int sig);
  // Waits for the child to end; nullopt-like: timedOut set when it had not
  // ended by the deadline (the child is left running).
  ExitStatus wait(milliseconds timeout = defaultTimeout);
  // SIGTERM, wait up to grace, then SIGKILL and reap.
  ExitStatus stop(milliseconds grace = milliseconds(5000));
  // SIGKILL and reap.
  ExitStatus kill();

  // Captured output so far (all of it, including lines already waited for).
  std::string out() const;
  std::string err() const;
  // Complete lines of standard output so far.
  std::vector<std::string> outLines() const;
  // Waits until standard output (or standard error) contains text; false at
  // the deadline or when the child closed the stream without it.
  bool waitForOut(const std::string &text, milliseconds timeout = defaultTimeout);
  bool waitForErr(const std::string &text, milliseconds timeout = defaultTimeout);
  // Waits until at least n complete lines are on standard output.
  bool waitForOutLines(std::size_t n, milliseconds timeout = defaultTimeout);

  // Writes to the stdin pipe (Options::stdinPipe); false if the child has
  // closed it or has not taken it all by the deadline. Not to be called
  // from two threads at once.
  bool writeStdin(const std::string &data, milliseconds timeout = defaultTimeout);
  void closeStdin();

private:
  struct Captured;
  ExitStatus reap(milliseconds timeout);
  void readerLoop();
  bool waitFor(bool err, const std::string &text, milliseconds timeout);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdinFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int wakeFd_[2] = { -1, -1 };
  bool reaped_ = false;
  ExitStatus status_;
  std::mutex waitMutex_;
  std::unique_ptr<Captured> captured_;
  std::thread reader_;
};

// Runs a program to its end with a time-out (the child is killed when it
// runs longer), feeding stdinData and capturing both outputs.
struct RunResult
{
  ExitStatus status;
  std::string out;
  std::string err;
};
RunResult run(const std::vector<std::string> &argv,
              milliseconds timeout = defaultTimeout,
              const std::vector<std::string> &env = {},
              const std::string &stdinData = {});

} // namespace tmx::test
