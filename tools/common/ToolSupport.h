// Pieces shared by the programs around the monitor (tmx-notifier,
// tmx-watch, tmx-status): signal handling on an ordinary thread, exception
// texts, naming-service names, the kind of a published value, ORB set-up
// and tear-down, command-line helpers.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

namespace tmx::tools {

// Delivers SIGINT and SIGTERM to a callback that runs on its own ordinary
// thread (sigwait), never inside a signal handler, so the callback may
// make CORBA calls. Construct it before any other thread starts (before
// CORBA::ORB_init): the signals are blocked in the constructing thread
// and every thread created after it inherits the mask.
class SignalWaiter
{
public:
  // onSignal gets the signal number; it runs at most once.
  explicit SignalWaiter(std::function<void(int)> onSignal);
  // Ends the waiting thread without calling the callback if no signal came.
  ~SignalWaiter();
  SignalWaiter(const SignalWaiter &) = delete;
  SignalWaiter &operator=(const SignalWaiter &) = delete;

  // The signal received so far, 0 if none.
  int received() const;

private:
  std::function<void(int)> onSignal_;
  std::thread thread_;
  std::atomic<int> received_{ 0 };
  std::atomic<bool> stopping_{ false };
};

// "NAME" for a user exception, "NAME (minor 0x..., COMPLETED_x)" for a
// system exception.
std::string describe(const CORBA::Exception &e);

// A one-component name with an empty kind.
CosNaming::Name simpleName(const char *id);

// The root naming context from the "NameService" initial reference.
// Throws CORBA::ORB::InvalidName when no naming service was given, other
// CORBA exceptions (TRANSIENT when the service is unreachable, ...).
CosNaming::NamingContext_ptr rootContext(CORBA::ORB_ptr orb);

// True when argv holds the ORB option (with or without a value), e.g.
// "-ORBclientCallTimeOutPeriod". Checked before ORB_init removes it.
bool hasOrbOption(int argc, char **argv, const char *option);

// Prints "PROGRAM: WHAT" and the pointer to --help on stderr; returns the
// exit status of a bad command line, 2.
int usageError(const char *program, const std::string &what);

// CORBA::ORB_init, which removes the ORB options from argv. On a bad ORB
// option it reports a usage error and returns nil. userCallTimeout tells
// whether the command line gave -ORBclientCallTimeOutPeriod itself.
CORBA::ORB_ptr initOrb(int &argc, char **argv, const char *program, bool &userCallTimeout);

// Destroys the ORB; a failure is reported on stderr as "PROGRAM: ORB
// shutdown: ...", never thrown.
void destroyOrb(CORBA::ORB_ptr orb, const char *program);

// Activates servant in the root POA, activates its manager and returns the
// servant's reference.
CORBA::Object_ptr activateServant(CORBA::ORB_ptr orb, PortableServer::Servant servant);

// Reports on stderr that no naming service was given (rootContext threw
// CORBA::ORB::InvalidName), with the option that gives one.
void reportNoNamingService(const char *program);

// A whole decimal number without a sign, as strtoul reads it; false for
// nullptr, empty text, a leading '-', trailing characters or overflow.
bool parseUnsigned(const char *text, unsigned long &value);

// What a published value is, from the TypeCode of an Event_Comm::Event's
// value_. kind is one of "housekeeping", "message", "event", "console",
// "string", "empty", or "unknown"; id is the repository id of the
// TypeCode (aliases resolved), "" for types that have none (string, empty).
struct ValueKind
{
  std::string kind;
  std::string id;
};
ValueKind kindOf(const CORBA::Any &value);

} // namespace tmx::tools
