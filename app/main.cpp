// Program entry of the monitor "tmx".
//
//   tmx [ORB options] [-f FILE] [-m COUNT]
//
// Exit status: 0 after an orderly shutdown ("quit" on the console, or
// SIGTERM), 1 when the start-up fails.
#include "alarms/AlarmManager.h"
#include "app/TmxApp.h"
#include "framework/ErrorHandler.h"
#include "orb/SignalWaiter.h"

#include <ace/Init_ACE.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>

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
    // SIGTERM, the service manager's stop request, asks the application
    // to stop as "quit" does; one that came earlier has waited, blocked.
    tmx::orb::SignalWaiter terminationWatcher([](int) { theApp->requestTermination(); }, { SIGTERM });
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

  // Blocked in every thread (they inherit the mask from here) and taken by
  // sigwait on one ordinary thread: nothing runs in signal-handler context.
  tmx::orb::blockSignals({ SIGTERM });

  AceObjectManagers aceManagers;
  return runMonitor(argc, argv);
}
