// The CORBA environment of a test: a private omniNames naming service on a
// free loopback port, a tmx-notifier child and an in-process test ORB.
#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TestUtil.h"

#include <memory>
#include <string>
#include <vector>

#include <Event_Comm.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

namespace tmx::test {

// Returns a TCP port on 127.0.0.1 that was free a moment ago (bind port 0,
// read it, close). Another process may take it in between: callers retry.
int freeLoopbackPort();

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
