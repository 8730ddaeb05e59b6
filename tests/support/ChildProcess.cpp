#include "tests/support/ChildProcess.h"

#include "tests/support/SupportDetail.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace tmx::test {

namespace {

ExitStatus decode(int status)
{
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.exited = true;
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signal = WTERMSIG(status);
  }
  return s;
}

// What a child is started with; everything is prepared before fork so the
// child only makes async-signal-safe calls.
struct SpawnSpec
{
  const char *path = nullptr;
  char *const *argv = nullptr;
  char *const *envp = nullptr;
  int stdinFd = -1;  // -1: /dev/null
  int stdoutFd = -1; // -1: inherited
  int stderrFd = -1; // -1: inherited
  const char *cwd = nullptr;
};

// Returns 0 and the pid, or an errno value (exec failures included).
int forkExec(const SpawnSpec &spec, pid_t &pid)
{
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0)
    return errno;
  pid_t parent = ::getpid();
  pid = ::fork();
  if (pid < 0) {
    int e = errno;
    ::close(report[0]);
    ::close(report[1]);
    return e;
  }
  if (pid == 0) {
    // Dies with the test process, however that ends (crash, ctest time-out).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
      ::_exit(127);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : { SIGPIPE, SIGINT, SIGTERM })
      ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int fail = 0;
    int in = spec.stdinFd >= 0 ? spec.stdinFd : ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0)
      fail = errno;
    if (!fail && spec.stdoutFd >= 0 && ::dup2(spec.stdoutFd, 1) < 0)
      fail = errno;
    if (!fail && spec.stderrFd >= 0 && ::dup2(spec.stderrFd, 2) < 0)
      fail = errno;
    if (!fail && spec.cwd && ::chdir(spec.cwd) != 0)
      fail = errno;
    // Keep the report pipe as fd 3 and close everything else of the test
    // process (its ORB's sockets, other children's pipes).
    int reportFd = report[1];
    if (!fail && reportFd != 3) {
      if (::dup3(reportFd, 3, O_CLOEXEC) < 0)
        fail = errno;
      reportFd = 3;
    }
    if (!fail) {
      ::closefrom(4);
      ::execve(spec.path, spec.argv, spec.envp);
      fail = errno;
    }
    (void)!::write(reportFd, &fail, sizeof fail);
    ::_exit(127);
  }
  ::close(report[1]);
  int childErrno = 0;
  ssize_t got;
  do
    got = ::read(report[0], &childErrno, sizeof childErrno);
  while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got > 0) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return childErrno ? childErrno : ENOEXEC;
  }
  return 0;
}

// Forks every child from one thread that lives as long as the process:
// PR_SET_PDEATHSIG fires when the creating thread ends, and a test may
// start children from threads of its own.
class Spawner
{
public:
  static Spawner &instance()
  {
    // Never destroyed: its thread runs until the process exits.
    static Spawner *spawner = new Spawner;
    return *spawner;
  }

  int spawn(const SpawnSpec &spec, pid_t &pid)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return request_ == nullptr; });
    request_ = &spec;
    done_ = false;
    changed_.notify_all();
    changed_.wait(lock, [&] { return done_; });
    int rc = result_;
    pid = pid_;
    request_ = nullptr;
    done_ = false;
    changed_.notify_all();
    return rc;
  }

private:
  Spawner()
  {
    std::thread([this] { loop(); }).detach();
  }

  void loop()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return request_ != nullptr && !done_; });
      const SpawnSpec *spec = request_;
      lock.unlock();
      pid_t pid = -1;
      int rc = forkExec(*spec, pid);
      lock.lock();
      result_ = rc;
      pid_ = pid;
      done_ = true;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const SpawnSpec *request_ = nullptr;
  bool done_ = false;
  int result_ = 0;
  pid_t pid_ = -1;
};

// A program name without '/' is looked up in PATH.
std::string resolveProgram(const std::string &name)
{
  if (name.find('/') != std::string::npos)
    return name;
  const std::string found = findInPath(name);
  return found.empty() ? name : found;
}

} // namespace

std::string findInPath(const std::string &name)
{
  const char *path = std::getenv("PATH");
  const std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos)
      return {};
    start = end + 1;
  }
}

std::string binDir()
{
  return TMX_BIN_DIR;
}

std::string binaryPath(const std::string &name)
{
  return binDir() + "/" + name;
}

std::vector<std::string> programArgs(const std::string &name,
                                     const std::vector<std::string> &orbArgs,
                                     const std::vector<std::string> &extra)
{
  std::vector<std::string> argv{ binaryPath(name) };
  argv.insert(argv.end(), orbArgs.begin(), orbArgs.end());
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

std::string ExitStatus::describe() const
{
  if (timedOut)
    return "still running at the deadline";
  if (exited)
    return "exit status " + std::to_string(code);
  if (signal)
    return std::string("killed by signal ") + ::strsignal(signal);
  return "unknown";
}

// ----------------------------------------------------------- ChildProcess

struct ChildProcess::Captured
{
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::string out;
  std::string err;
  bool outDone = false;
  bool errDone = false;
};

ChildProcess::ChildProcess(const std::vector<std::string> &argv)
  : ChildProcess(argv, Options{})
{
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const Options &options)
  : captured_(std::make_unique<Captured>())
{
  if (argv.empty())
    throw std::invalid_argument("ChildProcess: empty argv");
  // A child that dies while we write to its stdin must not kill the test.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> envStrings;
  for (char **e = environ; *e; ++e) {
    std::string entry(*e);
    std::string key = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto &o : options.env)
      if (o.substr(0, o.find('=')) == key)
        overridden = true;
    if (!overridden)
      envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), options.env.begin(), options.env.end());
  Args envp(std::move(envStrings));
  Args argp(argv);

  int inPipe[2] = { -1, -1 }, outPipe[2] = { -1, -1 }, errPipe[2] = { -1, -1 };
  auto closeAll = [&] {
    for (int fd :
         { inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1], wakeFd_[0], wakeFd_[1] })
      if (fd >= 0)
        ::close(fd);
  };
  errno = 0;
  if ((options.stdinPipe && ::pipe2(inPipe, O_CLOEXEC) != 0) ||
      (options.capture && (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)) ||
      ::pipe2(wakeFd_, O_CLOEXEC) != 0) {
    closeAll();
    throw failure("pipe");
  }

  std::string path = resolveProgram(argv[0]);
  SpawnSpec spec;
  spec.path = path.c_str();
  spec.argv = argp.argv();
  spec.envp = envp.argv();
  spec.stdinFd = inPipe[0];
  spec.stdoutFd = outPipe[1];
  spec.stderrFd = errPipe[1];
  spec.cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  int rc = Spawner::instance().spawn(spec, pid_);
  if (rc != 0) {
    closeAll();
    errno = rc;
    throw failure("cannot start " + argv[0]);
  }

  if (inPipe[0] >= 0)
    ::close(inPipe[0]);
  stdinFd_ = inPipe[1];
  if (stdinFd_ >= 0)
    ::fcntl(stdinFd_, F_SETFL, ::fcntl(stdinFd_, F_GETFL) | O_NONBLOCK);
  if (options.capture) {
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
  } else {
    captured_->outDone = captured_->errDone = true;
  }
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  reader_ = std::thread([this] { readerLoop(); });
}

ChildProcess::~ChildProcess()
{
  stop();
  closeStdin();
  char c = 'x';
  (void)!::write(wakeFd_[1], &c, 1);
  if (reader_.joinable())
    reader_.join();
  for (int fd : { outFd_, errFd_, pidfd_, wakeFd_[0], wakeFd_[1] })
    if (fd >= 0)
      ::close(fd);
}

void ChildProcess::readerLoop()
{
  char buf[4096];
  for (;;) {
    pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1;
    fds[n++] = { wakeFd_[0], POLLIN, 0 };
    {
      std::lock_guard<std::mutex> lock(captured_->mutex);
      if (!captured_->outDone) {
        outIdx = n;
        fds[n++] = { outFd_, POLLIN, 0 };
      }
      if (!captured_->errDone) {
        errIdx = n;
        fds[n++] = { errFd_, POLLIN, 0 };
      }
    }
    if (n == 1)
      return;
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[0].revents)
      return;
    for (int idx : { outIdx, errIdx }) {
      if (idx < 0 || !fds[idx].revents)
        continue;
      ssize_t got = ::read(fds[idx].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR)
        continue;
      std::lock_guard<std::mutex> lock(captured_->mutex);
      if (got <= 0)
        (idx == outIdx ? captured_->outDone : captured_->errDone) = true;
      else
        (idx == outIdx ? captured_->out : captured_->err).append(buf, static_cast<std::size_t>(got));
      captured_->changed.notify_all();
    }
  }
}

ExitStatus ChildProcess::reap(milliseconds timeout)
{
  // Called with waitMutex_ held.
  if (reaped_)
    return status_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = decode(status);
      // What the child wrote just before it ended may still be in the
      // pipes: out() and err() after a wait must hold all of it. Bounded,
      // as a grandchild may keep the pipes open.
      std::unique_lock<std::mutex> lock(captured_->mutex);
      captured_->changed.wait_for(
        lock, milliseconds(5000), [this] { return captured_->outDone && captured_->errDone; });
      return status_;
    }
    if (r < 0 && errno != EINTR) {
      reaped_ = true;
      status_ = ExitStatus{};
      return status_;
    }
    int left = remainingMs(deadline);
    if (left == 0) {
      ExitStatus s;
      s.timedOut = true;
      return s;
    }
    if (pidfd_ >= 0) {
      pollfd p{ pidfd_, POLLIN, 0 };
      ::poll(&p, 1, left);
    } else {
      std::this_thread::sleep_for(milliseconds(std::min(left, 5)));
    }
  }
}

bool ChildProcess::running()
{
  std::lock_guard<std::mutex> lock(waitMutex_);
  reap(milliseconds(0));
  return !reaped_;
}

bool ChildProcess::signal(int sig)
{
  std::lock_guard<std::mutex> lock(waitMutex_);
  reap(milliseconds(0));
  if (reaped_)
    return false;
  return ::kill(pid_, sig) == 0;
}

ExitStatus ChildProcess::wait(milliseconds timeout)
{
  std::lock_guard<std::mutex> lock(waitMutex_);
  return reap(timeout);
}

ExitStatus ChildProcess::stop(milliseconds grace)
{
  std::lock_guard<std::mutex> lock(waitMutex_);
  reap(milliseconds(0));
  if (reaped_)
    return status_;
  ::kill(pid_, SIGTERM);
  ExitStatus s = reap(grace);
  if (!s.timedOut)
    return s;
  ::kill(pid_, SIGKILL);
  return reap(milliseconds(60000));
}

ExitStatus ChildProcess::kill()
{
  std::lock_guard<std::mutex> lock(waitMutex_);
  reap(milliseconds(0));
  if (reaped_)
    return status_;
  ::kill(pid_, SIGKILL);
  return reap(milliseconds(60000));
}

std::string ChildProcess::out() const
{
  std::lock_guard<std::mutex> lock(captured_->mutex);
  return captured_->out;
}

std::string ChildProcess::err() const
{
  std::lock_guard<std::mutex> lock(captured_->mutex);
  return captured_->err;
}

std::vector<std::string> ChildProcess::outLines() const
{
  std::vector<std::string> lines;
  std::string text = out();
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

bool ChildProcess::waitFor(bool err, const std::string &text, milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(captured_->mutex);
  return captured_->changed.wait_for(lock, timeout, [&] {
    const std::string &s = err ? captured_->err : captured_->out;
    return s.find(text) != std::string::npos || (err ? captured_->errDone : captured_->outDone);
  }) && (err ? captured_->err : captured_->out).find(text) != std::string::npos;
}

bool ChildProcess::waitForOut(const std::string &text, milliseconds timeout)
{
  return waitFor(false, text, timeout);
}

bool ChildProcess::waitForErr(const std::string &text, milliseconds timeout)
{
  return waitFor(true, text, timeout);
}

bool ChildProcess::waitForOutLines(std::size_t n, milliseconds timeout)
{
  auto count = [&] {
    std::size_t c = 0;
    for (char ch : captured_->out)
      c += ch == '\n';
    return c;
  };
  std::unique_lock<std::mutex> lock(captured_->mutex);
  captured_->changed.wait_for(lock, timeout, [&] { return count() >= n || captured_->outDone; });
  return count() >= n;
}

bool ChildProcess::writeStdin(const std::string &data, milliseconds timeout)
{
  if (stdinFd_ < 0)
    return false;
  auto deadline = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::write(stdinFd_, data.data() + done, data.size() - done);
    if (w >= 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN)
      return false; // EPIPE: the child closed its input or ended
    int left = remainingMs(deadline);
    if (left == 0)
      return false;
    pollfd p{ stdinFd_, POLLOUT, 0 };
    ::poll(&p, 1, left);
  }
  return true;
}

void ChildProcess::closeStdin()
{
  if (stdinFd_ >= 0) {
    ::close(stdinFd_);
    stdinFd_ = -1;
  }
}

RunResult run(const std::vector<std::string> &argv,
              milliseconds timeout,
              const std::vector<std::string> &env,
              const std::string &stdinData)
{
  ChildProcess::Options options;
  options.env = env;
  options.stdinPipe = true;
  ChildProcess child(argv, options);
  // A child that does not read its input must not block us past the
  // time-out: the input is written beside the wait.
  std::thread writer([&] {
    child.writeStdin(stdinData, timeout);
    child.closeStdin();
  });
  RunResult result;
  result.status = child.wait(timeout);
  if (result.status.timedOut) {
    child.kill();
    result.status.timedOut = true;
  }
  writer.join(); // the wait above has read the output to its end
  result.out = child.out();
  result.err = child.err();
  return result;
}

} // namespace tmx::test
