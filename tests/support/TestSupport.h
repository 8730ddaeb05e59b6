// Test support for process-level and CORBA tests: child processes with
// captured output, a private omniNames naming service on a free loopback
// port, a tmx-notifier child and an in-process test ORB. The light helpers
// (TempDir, ScopedEnv, eventually, CaptureFd) are in TestUtil.h, the
// recording sink and consumer in Recording.h, an ORB for the whole binary
// in OrbEnvironment.h.
//
// Typical use in an integration test:
//
//   tmx::test::CorbaEnv env;              // omniNames on 127.0.0.1:<free port>
//   env.startNotifier();                  // tmx-notifier, waits until bound
//   tmx::test::TestOrb orb(env.orbArgs()); // this process's ORB
//   auto notifier = orb.resolve("Notifier");
//   ...
//   // destructors: ORB destroyed, notifier and omniNames stopped (SIGTERM,
//   // SIGKILL after a bounded wait), children reaped, temp dirs removed.
//
// Every wait is bounded; failures to start throw std::runtime_error with a
// text that includes what the child printed.
#pragma once

#include "tests/support/TestUtil.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include <Event_Comm.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

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

// Returns a TCP port on 127.0.0.1 that was free a moment ago (bind port 0,
// read it, close). Another process may take it in between: callers retry.
int freeLoopbackPort();

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

// Starts the monitor set up in dir (writeMonitorFiles) with the ORB
// arguments: monitorEnvironment(dir), standard input a pipe, dir the
// working directory. With quiet its standard output (a trace line per
// console line) goes to /dev/null instead of being captured.
std::unique_ptr<ChildProcess> startMonitor(const TempDir &dir,
                                           const std::vector<std::string> &orbArgs,
                                           bool quiet = false);

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

// A private omniNames on 127.0.0.1 with a fresh data directory. The
// constructor starts it and waits (bounded) until it answers a naming
// request; it retries on another port when the chosen one was taken.
class NamingService
{
public:
  explicit NamingService(milliseconds timeout = defaultTimeout);
  ~NamingService();
  NamingService(const NamingService &) = delete;
  NamingService &operator=(const NamingService &) = delete;

  int port() const { return port_; }
  // "corbaloc::127.0.0.1:PORT/NameService"
  std::string corbaloc() const;
  // {"-ORBInitRef", "NameService=corbaloc::127.0.0.1:PORT/NameService",
  //  "-ORBendPoint", "giop:tcp:127.0.0.1:"}: the naming service, and a
  // loopback-only endpoint so that references made by the ORB that takes
  // these options never name an address outside 127.0.0.0/8.
  std::vector<std::string> orbArgs() const;

  // Stops omniNames (SIGTERM, then SIGKILL); a suspended one is resumed
  // first.
  void stop();
  // SIGSTOP: omniNames keeps its port, takes connections and requests, and
  // answers nothing until resume() (SIGCONT): a stalled naming service.
  void suspend();
  void resume();
  // Starts it again on the same port and data directory (bindings are kept)
  // and waits until it answers. Throws on failure.
  void start(milliseconds timeout = defaultTimeout);
  bool running();

  // Naming queries through the nameclt tool, for tests without an ORB of
  // their own. A name is one component with an empty kind.
  bool isBound(const std::string &name);
  bool waitBound(const std::string &name, bool bound, milliseconds timeout = defaultTimeout);

private:
  bool launch(bool fresh, milliseconds timeout, std::string &why);

  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// A naming service plus an optional tmx-notifier child bound as "Notifier".
class CorbaEnv
{
public:
  explicit CorbaEnv(milliseconds timeout = defaultTimeout);
  ~CorbaEnv();

  NamingService &naming() { return naming_; }
  std::vector<std::string> orbArgs() const { return naming_.orbArgs(); }

  // Path of the tmx-notifier executable of this build.
  static std::string notifierPath();

  // Starts tmx-notifier (ORB options first, then extraArgs) and waits for
  // its ready line "tmx-notifier: bound as Notifier". Throws on failure.
  // A notifier still running is stopped first.
  ChildProcess &startNotifier(const std::vector<std::string> &extraArgs = {},
                              milliseconds timeout = defaultTimeout);
  // SIGTERM and wait (the notifier unbinds itself on the way out).
  ExitStatus stopNotifier(milliseconds grace = milliseconds(5000));
  // SIGKILL: the binding stays in the naming service.
  ExitStatus killNotifier();
  // Kill, then start again with the same arguments.
  ChildProcess &restartNotifier(milliseconds timeout = defaultTimeout);
  // The running notifier child, or null.
  ChildProcess *notifier() { return notifier_.get(); }

private:
  NamingService naming_;
  std::vector<std::string> notifierArgs_;
  std::unique_ptr<ChildProcess> notifier_;
};

// This process's ORB for a test: ORB_init with the given options (use
// CorbaEnv::orbArgs()), the root POA activated. Requests are served by
// omniORB's own threads; nobody needs to call run(). The destructor
// destroys the ORB (after which a later TestOrb may initialise a new one).
// Only one TestOrb may exist at a time in a process, and code under test
// that calls CORBA::ORB_init meanwhile gets this same ORB. Without a
// NameService among the options, naming() is nil. omniORB needs an
// initialised ORB even for plain CORBA::Any work. Servants activated in it
// must outlive it (declare them before the TestOrb) or be heap objects
// whose reference the POA owns.
class TestOrb
{
public:
  explicit TestOrb(const std::vector<std::string> &orbArgs, const std::vector<std::string> &extraArgs = {});
  ~TestOrb();
  TestOrb(const TestOrb &) = delete;
  TestOrb &operator=(const TestOrb &) = delete;

  CORBA::ORB_ptr orb() const { return orb_.in(); }
  PortableServer::POA_ptr poa() const { return poa_.in(); }
  CosNaming::NamingContext_ptr naming() const { return naming_.in(); }

  // Single-component names with an empty kind.
  static CosNaming::Name name(const std::string &id);
  // The bound object (caller owns it: take it into a _var), or nil when the
  // name is not bound. System exceptions pass through; note that the first
  // call after the naming service restarted may fail with COMM_FAILURE.
  CORBA::Object_ptr resolve(const std::string &id);
  void rebind(const std::string &id, CORBA::Object_ptr object);
  // False when the name was not bound.
  bool unbind(const std::string &id);
  // Polls until the name is (un)bound; system exceptions (a naming service
  // that is restarting) count as "not yet".
  bool waitBound(const std::string &id, bool bound, milliseconds timeout = defaultTimeout);

  // Activates a servant in the root POA and returns its reference; the POA
  // holds a reference on the servant until deactivate() or destruction.
  CORBA::Object_ptr activate(PortableServer::Servant servant);
  void deactivate(PortableServer::Servant servant);

private:
  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  CosNaming::NamingContext_var naming_;
};

// A consumer servant activated in orb and subscribed with filter to the
// notifier bound as "Notifier"; unsubscribed (all its filters) when this
// goes, a failure then ignored: the notifier may be gone. The servant must
// outlive the ORB. Throws std::runtime_error when "Notifier" is not a
// notifier.
class NotifierSubscription
{
public:
  NotifierSubscription(TestOrb &orb, PortableServer::Servant consumer, const std::string &filter = "");
  ~NotifierSubscription();
  NotifierSubscription(const NotifierSubscription &) = delete;
  NotifierSubscription &operator=(const NotifierSubscription &) = delete;

  Event_Comm::Notifier_ptr notifier() const { return notifier_.in(); }

private:
  Event_Comm::Notifier_var notifier_;
  Event_Comm::Consumer_var consumer_;
};

} // namespace tmx::test
