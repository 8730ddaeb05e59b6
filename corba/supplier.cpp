#include "corba/supplier.h"

#include "corba/print_exception.h"
#include "orb/Orb.h"

#include <ace/Log_Msg.h>
#include <ace/Reactor.h>
#include <ace/Thread.h>

#include <csignal>

Shutdown_Callback::~Shutdown_Callback() = default;

ORB_Task::ORB_Task(ACE_Thread_Manager *thr_mgr, Supplier *owner)
  : ACE_Task<ACE_MT_SYNCH>(thr_mgr)
  , owner_(owner)
{
}

int ORB_Task::svc()
{
  return owner_->run();
}

Supplier::Supplier(ACE_Thread_Manager *thr_mgr, ElapsedTimeSource *app)
  : ACE_Event_Handler(nullptr, 0)
  , thr_mgr_(thr_mgr)
  , orb_task_(thr_mgr, this)
  , system_server_(app)
  , event_supplier_(thr_mgr)
{
}

Supplier::~Supplier()
{
  ACE_DEBUG((LM_DEBUG, "Supplier::~Supplier\n"));
  signal_relay_.remove_handler();
  detach_console();
  // Normally the application has shut down and joined every thread by now;
  // otherwise end them here, since they use the members below.
  event_supplier_.stop();
  orb_reactor()->end_reactor_event_loop();
  orb_task_.wait();
  event_supplier_.wait();
}

int Supplier::init(int argc, char *argv[])
{
  try {
    if (init_orb(argc, argv) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "ORB, root poa or child poa did not init\n"), -1);
    }
    if (init_naming(argc, argv) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "Naming services did not init\n"), -1);
    }
    if (notifier_handler_.init(&orb_manager_, naming_context_) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "Notifier_Handler did not init\n"), -1);
    }
    if (event_supplier_.init(argc, argv, &notifier_handler_) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "Event supplier did not init\n"), -1);
    }
    if (signal_relay_.register_handler(notifier_handler_.reactor(), SIGINT, this) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "register_handler"), -1);
    }
    if (system_server_.init(&orb_manager_, naming_context_) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "TMX interface did not init"), -1);
    }
    ACE_DEBUG((LM_DEBUG, "Supplier initialized.. \n"));
    return 0;
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "Supplier init failed");
    return -1;
  }
}

int Supplier::init_orb(int &argc, char *argv[])
{
  try {
    if (orb_manager_.init(argc, argv) == -1)
      return -1;
    if (orb_manager_.init_child_poa(argc, argv, "child_poa") == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "init_child_poa"), -1);
    }
    orb_manager_.activate_poa_manager();
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "ORB init failed");
    return -1;
  }
  return 0;
}

int Supplier::init_naming(int, char *[])
{
  try {
    naming_context_ = tmx::orb::rootContext(orb_manager_.orb());
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "event_supplier shutdown");
    return -1;
  }
  return 0;
}

int Supplier::start()
{
  return orb_task_.activate(0, 1, 0, 0, -1);
}

int Supplier::run()
{
  try {
    orb_reactor()->owner(ACE_Thread::self());
    if (event_supplier_.activate(0, 1, 0, 0, -1) == -1) {
      ACE_ERROR_RETURN((LM_ERROR, "%p\n", "Event_supplier::run"), -1);
    }
    orb_reactor()->run_reactor_event_loop();
    // The ORB is down; an attached console is still served until it is
    // detached. A detach that comes first leaves the loop ended, and
    // run_reactor_event_loop returns at once on an ended loop.
    {
      std::lock_guard<std::mutex> guard(console_mutex_);
      if (console_attached_)
        orb_reactor()->reset_reactor_event_loop();
    }
    orb_reactor()->run_reactor_event_loop();
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "event_supplier shutdown");
    return -1;
  }
  return 0;
}

void Supplier::send_event(const CORBA::Any &value)
{
  event_supplier_.queue_event(value);
}

int Supplier::shutdown()
{
  event_supplier_.stop();
  system_server_.shutdown();
  return notifier_handler_.close();
}

void Supplier::attach_console()
{
  std::lock_guard<std::mutex> guard(console_mutex_);
  console_attached_ = true;
}

void Supplier::detach_console()
{
  std::lock_guard<std::mutex> guard(console_mutex_);
  if (!console_attached_)
    return;
  console_attached_ = false;
  orb_reactor()->end_reactor_event_loop();
}

int Supplier::handle_signal(int signum, siginfo_t *, ucontext_t *)
{
  ACE_DEBUG((LM_DEBUG, "%S\n", signum));
  shutdown();
  return 0;
}
