// Program entry of the monitor "tmx".
//
//   tmx [ORB options] [-f FILE] [-m COUNT]
//
// Exit status: 0 after an orderly shutdown ("quit" on the console, or
// SIGTERM), 1 when the start-up fails.
#include "alarms/AlarmManager.h"
#include "app/TmxApp.h"
#include "framework/ErrorHandler.h"

#include <ace/Init_ACE.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <pthread.h>
#include <thread>

namespace {

// The application object lives until the process ends; its destructor is
// not run (the configuration file stays read-only on disk). Held here so
// that it stays reachable to leak checkers.
TmxApp *theApp = nullptr;

// Brackets the program with ACE's object managers.
class AceObjectManagers
{
public:
  AceObjectManagers() { ACE::init(); }
  ~AceObjectManagers() { ACE::fini(); }
  AceObjectManagers(const AceObjectManagers &) = delete;
  AceObjectManagers &operator=(const AceObjectManagers &) = delete;
};

// SIGTERM, the service manager's stop request, is blocked in every thread
// (the mask is inherited from main) and taken by sigwait on one ordinary
// thread, which asks the application to stop as "quit" does. Nothing runs
// in signal-handler context.
class TerminationWatcher
{
public:
  explicit TerminationWatcher(TmxApp &app)
    : app_(app)
    , thread_([this] { loop(); })
  {
  }
  ~TerminationWatcher()
  {
    stopping_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }
  TerminationWatcher(const TerminationWatcher &) = delete;
  TerminationWatcher &operator=(const TerminationWatcher &) = delete;

private:
  void loop()
  {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0)
        continue;
      if (stopping_.load())
        return;
      app_.requestTermination();
    }
  }

  TmxApp &app_;
  std::atomic<bool> stopping_{ false };
  std::thread thread_;
};

int runMonitor(int argc, char **argv)
{
  try {
    theApp = new TmxApp;
  } catch (const Exception &) {
    return 1; // the constructor has printed and reported the reason
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tmx: cannot create the application: %s\n", e.what());
    return 1;
  }
  traceLevel = 1;

  bool started = false;
  {
    TerminationWatcher watcher(*theApp);
    theApp->run(argc, argv);
    started = theApp->started();
    if (!started)
      theApp->abandonStartup();
    theApp->shutdown();
  }
  // The manager's task is ended with the process; its last lines (the
  // failure reasons, the final shutdown notice) are written first.
  AlarmManager::instance().flush(std::chrono::milliseconds(2000));
  theApp->destroyOrb();
  return started ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
  // Trace lines reach a pipe or the journal as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

  AceObjectManagers aceManagers;
  return runMonitor(argc, argv);
}
