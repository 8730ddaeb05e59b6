// The one object through which the monitor reaches CORBA: the ORB and its
// POAs, the naming context, the notifier handler, the TMX::System server,
// the event supplier task and the ORB thread.
#pragma once

#include "alarms/EventSink.h"
#include "corba/Event_Sup.h"
#include "corba/Notifier_Handler.h"
#include "corba/ORB_Manager.h"
#include "corba/Signal_Relay.h"

#include <ace/Event_Handler.h>
#include <ace/Task.h>
#include <omniORB4/Naming.hh>

#include <mutex>

class ACE_Reactor;
class ACE_Thread_Manager;
class ElapsedTimeSource;
class Supplier;

// What the application's shutdown sequence holds the supplier by.
class Shutdown_Callback
{
public:
  virtual ~Shutdown_Callback();
  virtual int shutdown() = 0;
};

// The ORB thread: runs the owner's run().
class ORB_Task : public ACE_Task<ACE_MT_SYNCH>
{
public:
  ORB_Task(ACE_Thread_Manager *thr_mgr, Supplier *owner);
  int svc() override;

private:
  Supplier *owner_;
};

class Supplier
  : public ACE_Event_Handler
  , public Shutdown_Callback
  , public EventSink
{
public:
  // Threads are spawned on thr_mgr; app is lent to the TMX::System servant.
  Supplier(ACE_Thread_Manager *thr_mgr, ElapsedTimeSource *app);
  // Ends what still runs (event supplier, reactor loop) and waits for the
  // threads this supplier started before its members go.
  ~Supplier() override;

  // ORB and child POA, naming context, notifier lookup, simulation
  // options, SIGINT, "TMXSYSTEM". 0, or -1 at the first step that fails
  // (earlier steps are not undone). An option other than the ORB's, -f and
  // -m ends the process after the usage text (Event_Generator::parse_args).
  int init(int argc, char *argv[]);
  // Starts the ORB thread; the result of its activation (0, or -1).
  int start();
  // The ORB thread's body: starts the event supplier thread, then runs the
  // reactor's event loop until close ends it. 0, or -1.
  virtual int run();
  virtual int init_orb(int &argc, char *argv[]);
  virtual int init_naming(int argc, char *argv[]);

  // Queues a copy for publication; never waits for the network.
  void send_event(const CORBA::Any &value) override;

  // Stops the event supplier, unbinds "TMXSYSTEM" and shuts the ORB down
  // (the latter once per process). Waits for no thread. Returns the
  // notifier handler's close result (0).
  int shutdown() override;

  // SIGINT, dispatched on the ORB thread through the reactor: logs the
  // signal's name and shuts the CORBA side down. Returns 0.
  int handle_signal(int signum, siginfo_t * = nullptr, ucontext_t * = nullptr) override;

  // Console input is read in the reactor's loop. While a console is
  // attached the loop outlives the ORB's shutdown (SIGINT shuts down only
  // the CORBA side), so "quit" can still be typed; detaching ends it.
  void attach_console();
  void detach_console();

  // The CORBA side's reactor; exists for the supplier's whole life.
  ACE_Reactor *orb_reactor() const { return orb_manager_.reactor(); }
  ACE_Thread_Manager *thread_manager() const { return thr_mgr_; }
  Event_Supplier &event_supplier() { return event_supplier_; }
  ORB_Manager &orb_manager() { return orb_manager_; }

private:
  ACE_Thread_Manager *thr_mgr_;
  ORB_Task orb_task_;
  TMXInterface_Server system_server_;
  Event_Supplier event_supplier_;
  Notifier_Handler notifier_handler_;
  ORB_Manager orb_manager_;
  CosNaming::NamingContextExt_var naming_context_;
  Signal_Relay signal_relay_;
  std::mutex console_mutex_;
  bool console_attached_ = false;
};
