// The monitor's two links into the rest of the CORBA system:
// Notifier_Handler finds the notifier service bound as "Notifier" and shuts
// the ORB down; TMXInterface_Server serves TMX::System bound as "TMXSYSTEM".
#pragma once

#include "corba/tmxapp_i.h"

#include <Event_Comm.hh>
#include <omniORB4/Naming.hh>

#include <atomic>
#include <mutex>

class ACE_Reactor;
class ORB_Manager;

class Notifier_Handler
{
public:
  Notifier_Handler();
  virtual ~Notifier_Handler();
  Notifier_Handler(const Notifier_Handler &) = delete;
  Notifier_Handler &operator=(const Notifier_Handler &) = delete;

  // Resolves "Notifier" in the naming context (borrowed; a
  // NamingContextExt) and narrows it. 0, or -1 when the name is not bound,
  // the naming service cannot be reached or does not answer in time, or
  // the bound object is not an Event_Comm::Notifier.
  int init(ORB_Manager *orb_manager, CosNaming::NamingContext_ptr naming_context);

  // The reference resolved by init, not duplicated; nil before init and
  // after close. A thread that keeps using it must take its own duplicate
  // through acquire_notifier, since close releases this one.
  Event_Comm::Notifier_ptr notifier();
  // A duplicate of the current reference (nil before init, after close).
  Event_Comm::Notifier_var acquire_notifier();
  // Looks "Notifier" up again (the service may have been restarted) and
  // makes the result the current reference. Failures are printed; the
  // result is then nil and the current reference is kept.
  Event_Comm::Notifier_var resolve_notifier();

  // The CORBA side's reactor (the ORB manager's); null before init.
  ACE_Reactor *reactor();

  // Acts once per handler (the monitor has one): releases the notifier
  // reference, shuts the ORB down without waiting and ends the reactor's
  // event loop. Returns 0.
  int close();

  // Number of handlers in the process that have closed and still exist;
  // 0 or 1 in the monitor.
  static int close_count();

private:
  Event_Comm::Notifier_var lookup(const char *label);

  CORBA::ORB_var orb_;
  Event_Comm::Notifier_var notifier_; // guarded by mutex_
  CosNaming::NamingContextExt_var naming_context_;
  ORB_Manager *orb_manager_ = nullptr;
  std::mutex mutex_;
  std::atomic<bool> closed_{ false };
  static std::atomic<int> closed_count_;
};

class TMXInterface_Server
{
public:
  // The source is lent to the TMX::System servant.
  explicit TMXInterface_Server(ElapsedTimeSource *app);
  virtual ~TMXInterface_Server();
  TMXInterface_Server(const TMXInterface_Server &) = delete;
  TMXInterface_Server &operator=(const TMXInterface_Server &) = delete;

  // Activates the servant in the child POA as "TMXSYSTEM" and binds it in
  // the naming service (the context is borrowed; a NamingContextExt). 0 or
  // -1; a CORBA exception from the activation propagates to the caller.
  int init(ORB_Manager *orb_manager, CosNaming::NamingContext_ptr naming_context);
  // Binds the servant's reference as "TMXSYSTEM" with bind, so a name that
  // another monitor holds makes it fail (-1) instead of being taken over.
  int init_naming_service();
  // Tells the servant locally, then unbinds "TMXSYSTEM" if this server bound
  // it. -1, silently, when it did not (or no longer does: a second call) or
  // the unbind fails; a binding made by another monitor is left alone.
  int shutdown();

  TmxApp_i &servant() { return servant_; }

private:
  TmxApp_i servant_;
  ORB_Manager *orb_manager_ = nullptr;
  CosNaming::NamingContextExt_var naming_context_;
  CosNaming::Name name_; // "TMXSYSTEM", once bound
  std::atomic<bool> bound_{ false };
};
