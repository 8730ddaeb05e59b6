#include "tests/support/TestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef TMX_BIN_DIR
#error "TMX_BIN_DIR must name the directory of the built executables"
#endif
#ifndef TMX_NOTIFIER_PATH
#define TMX_NOTIFIER_PATH TMX_BIN_DIR "/tmx-notifier"
#endif

namespace tmx::test {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error failure(const std::string &what)
{
  return std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

int remainingMs(Clock::time_point deadline)
{
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

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

bool tcpAnswers(int port)
{
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
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

// ------------------------------------------------------------------ ports

int freeLoopbackPort()
{
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw failure("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    ::close(fd);
    throw failure("bind 127.0.0.1:0");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
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

// ---------------------------------------------------------- NamingService

NamingService::NamingService(milliseconds timeout)
  : dir_("tmx-names")
{
  std::string why;
  auto deadline = Clock::now() + timeout;
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = freeLoopbackPort();
    if (launch(true, milliseconds(std::max(remainingMs(deadline), 1000)), why))
      return;
  }
  throw std::runtime_error("omniNames did not start: " + why);
}

NamingService::~NamingService()
{
  stop();
}

std::string NamingService::corbaloc() const
{
  return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/NameService";
}

std::vector<std::string> NamingService::orbArgs() const
{
  return { "-ORBInitRef", "NameService=" + corbaloc(), "-ORBendPoint", "giop:tcp:127.0.0.1:" };
}

bool NamingService::launch(bool fresh, milliseconds timeout, std::string &why)
{
  std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(port_);
  std::vector<std::string> argv{ "omniNames" };
  if (fresh) {
    argv.push_back("-start");
    argv.push_back(std::to_string(port_));
  }
  argv.insert(argv.end(), { "-datadir", dir_.path(), "-nohostname", "-ORBendPoint", endpoint });
  process_ = std::make_unique<ChildProcess>(argv);
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (!process_->running()) {
      why = "port " + std::to_string(port_) + ": " + process_->wait().describe() + "\n" + process_->err() +
            process_->out();
      process_.reset();
      return false;
    }
    if (tcpAnswers(port_)) {
      RunResult r = run({ "nameclt",
                          "-ORBInitRef",
                          "NameService=" + corbaloc(),
                          "-ORBclientCallTimeOutPeriod",
                          "2000",
                          "list" },
                        milliseconds(5000));
      if (r.status.ok())
        return true;
      why = r.err;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  why = "no answer on port " + std::to_string(port_) + " in time: " + why + process_->err();
  process_->kill();
  process_.reset();
  return false;
}

void NamingService::stop()
{
  if (process_) {
    resume();
    process_->stop();
    process_.reset();
  }
}

void NamingService::suspend()
{
  if (process_)
    process_->signal(SIGSTOP);
}

void NamingService::resume()
{
  if (process_)
    process_->signal(SIGCONT);
}

void NamingService::start(milliseconds timeout)
{
  stop();
  std::string why;
  if (!launch(false, timeout, why))
    throw std::runtime_error("omniNames did not restart: " + why);
}

bool NamingService::running()
{
  return process_ && process_->running();
}

bool NamingService::isBound(const std::string &name)
{
  RunResult r = run({ "nameclt",
                      "-ORBInitRef",
                      "NameService=" + corbaloc(),
                      "-ORBclientCallTimeOutPeriod",
                      "2000",
                      "resolve",
                      name },
                    milliseconds(5000));
  return r.status.ok() && r.out.find("IOR:") != std::string::npos;
}

bool NamingService::waitBound(const std::string &name, bool bound, milliseconds timeout)
{
  return eventually([&] { return isBound(name) == bound; }, timeout);
}

// --------------------------------------------------------------- CorbaEnv

CorbaEnv::CorbaEnv(milliseconds timeout)
  : naming_(timeout)
{
}

CorbaEnv::~CorbaEnv()
{
  if (notifier_)
    notifier_->stop();
  notifier_.reset();
}

std::string CorbaEnv::notifierPath()
{
  return TMX_NOTIFIER_PATH;
}

ChildProcess &CorbaEnv::startNotifier(const std::vector<std::string> &extraArgs, milliseconds timeout)
{
  if (notifier_)
    notifier_->stop();
  notifier_.reset();
  notifierArgs_ = extraArgs;
  std::vector<std::string> argv{ notifierPath() };
  for (const auto &a : naming_.orbArgs())
    argv.push_back(a);
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  notifier_ = std::make_unique<ChildProcess>(argv);
  if (!notifier_->waitForOut("tmx-notifier: bound as Notifier", timeout)) {
    std::string why = notifier_->out() + notifier_->err();
    notifier_->kill();
    notifier_.reset();
    throw std::runtime_error("tmx-notifier did not come up: " + why);
  }
  return *notifier_;
}

ExitStatus CorbaEnv::stopNotifier(milliseconds grace)
{
  if (!notifier_)
    return ExitStatus{};
  return notifier_->stop(grace);
}

ExitStatus CorbaEnv::killNotifier()
{
  if (!notifier_)
    return ExitStatus{};
  return notifier_->kill();
}

ChildProcess &CorbaEnv::restartNotifier(milliseconds timeout)
{
  killNotifier();
  return startNotifier(notifierArgs_, timeout);
}

// ---------------------------------------------------------------- TestOrb

TestOrb::TestOrb(const std::vector<std::string> &orbArgs, const std::vector<std::string> &extraArgs)
{
  std::vector<std::string> args{ "test" };
  args.insert(args.end(), orbArgs.begin(), orbArgs.end());
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  Args argv(std::move(args));
  orb_ = CORBA::ORB_init(argv.argc, argv.argv());
  try {
    CORBA::Object_var obj = orb_->resolve_initial_references("RootPOA");
    poa_ = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = poa_->the_POAManager();
    manager->activate();
    // Unchecked: constructing a TestOrb never talks to the naming service.
    try {
      obj = orb_->resolve_initial_references("NameService");
      naming_ = CosNaming::NamingContext::_unchecked_narrow(obj);
    } catch (const CORBA::SystemException &) {
      // No naming service given (NO_RESOURCES in omniORB): naming() is nil.
    } catch (const CORBA::ORB::InvalidName &) {
    }
  } catch (...) {
    poa_ = PortableServer::POA::_nil();
    orb_->destroy();
    throw;
  }
}

TestOrb::~TestOrb()
{
  naming_ = CosNaming::NamingContext::_nil();
  poa_ = PortableServer::POA::_nil();
  try {
    orb_->destroy();
  } catch (const CORBA::Exception &) {
  }
}

CosNaming::Name TestOrb::name(const std::string &id)
{
  CosNaming::Name n;
  n.length(1);
  n[0].id = id.c_str();
  n[0].kind = "";
  return n;
}

CORBA::Object_ptr TestOrb::resolve(const std::string &id)
{
  try {
    return naming_->resolve(name(id));
  } catch (const CosNaming::NamingContext::NotFound &) {
    return CORBA::Object::_nil();
  }
}

void TestOrb::rebind(const std::string &id, CORBA::Object_ptr object)
{
  naming_->rebind(name(id), object);
}

bool TestOrb::unbind(const std::string &id)
{
  try {
    naming_->unbind(name(id));
    return true;
  } catch (const CosNaming::NamingContext::NotFound &) {
    return false;
  }
}

bool TestOrb::waitBound(const std::string &id, bool bound, milliseconds timeout)
{
  return eventually(
    [&] {
      try {
        CORBA::Object_var obj = resolve(id);
        return CORBA::is_nil(obj) != bound;
      } catch (const CORBA::SystemException &) {
        return false; // naming service restarting or not yet up
      }
    },
    timeout);
}

CORBA::Object_ptr TestOrb::activate(PortableServer::Servant servant)
{
  PortableServer::ObjectId_var id = poa_->activate_object(servant);
  return poa_->id_to_reference(id.in());
}

void TestOrb::deactivate(PortableServer::Servant servant)
{
  PortableServer::ObjectId_var id = poa_->servant_to_id(servant);
  poa_->deactivate_object(id.in());
}

NotifierSubscription::NotifierSubscription(TestOrb &orb,
                                           PortableServer::Servant consumer,
                                           const std::string &filter)
{
  CORBA::Object_var object = orb.resolve("Notifier");
  notifier_ = Event_Comm::Notifier::_narrow(object.in());
  if (CORBA::is_nil(notifier_))
    throw std::runtime_error("\"Notifier\" is not bound to a notifier");
  CORBA::Object_var self = orb.activate(consumer);
  consumer_ = Event_Comm::Consumer::_narrow(self.in());
  notifier_->subscribe(consumer_.in(), filter.c_str());
}

NotifierSubscription::~NotifierSubscription()
{
  try {
    notifier_->unsubscribe(consumer_.in(), "");
  } catch (const CORBA::Exception &) {
  }
}

} // namespace tmx::test
