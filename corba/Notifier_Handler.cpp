#include "corba/Notifier_Handler.h"

#include "corba/ORB_Manager.h"
#include "corba/print_exception.h"

#include <ace/Log_Msg.h>
#include <ace/Reactor.h>

std::atomic<int> Notifier_Handler::closed_count_{ 0 };

Notifier_Handler::Notifier_Handler() = default;

Notifier_Handler::~Notifier_Handler()
{
  if (closed_.load())
    closed_count_.fetch_sub(1);
  ACE_DEBUG((LM_DEBUG, "Notifier_Handler::~Notifier_Handler\n"));
}

int Notifier_Handler::init(ORB_Manager *orb_manager, CosNaming::NamingContext_ptr naming_context)
{
  const char *label = "Notifier_Handler::init\n";
  if (orb_manager == nullptr || CORBA::is_nil(orb_manager->orb()) || CORBA::is_nil(naming_context))
    return -1;
  try {
    orb_ = CORBA::ORB::_duplicate(orb_manager->orb());
    orb_manager_ = orb_manager;
    CORBA::Object_var object = orb_->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(object.in());
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    naming_context_ = CosNaming::NamingContextExt::_narrow(naming_context);
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, label);
    return -1;
  }
  if (CORBA::is_nil(naming_context_)) {
    ACE_ERROR((LM_ERROR, "%sthe naming context is not a NamingContextExt\n", label));
    return -1;
  }
  Event_Comm::Notifier_var found = lookup(label);
  if (CORBA::is_nil(found))
    return -1;
  std::lock_guard<std::mutex> guard(mutex_);
  notifier_ = found;
  return 0;
}

Event_Comm::Notifier_var Notifier_Handler::lookup(const char *label)
{
  Event_Comm::Notifier_var found;
  try {
    CORBA::Object_var object = naming_context_->resolve_str("Notifier");
    found = Event_Comm::Notifier::_narrow(object.in());
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, label);
    return Event_Comm::Notifier::_nil();
  }
  if (CORBA::is_nil(found))
    ACE_ERROR((LM_ERROR, "%sthe object bound as \"Notifier\" is not an Event_Comm::Notifier\n", label));
  return found;
}

Event_Comm::Notifier_ptr Notifier_Handler::notifier()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return notifier_.in();
}

Event_Comm::Notifier_var Notifier_Handler::acquire_notifier()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return notifier_;
}

Event_Comm::Notifier_var Notifier_Handler::resolve_notifier()
{
  if (CORBA::is_nil(naming_context_))
    return Event_Comm::Notifier::_nil();
  Event_Comm::Notifier_var found = lookup("Notifier_Handler::resolve_notifier\n");
  if (CORBA::is_nil(found))
    return found;
  std::lock_guard<std::mutex> guard(mutex_);
  // After close the handler holds no reference any more, and takes none.
  if (!closed_.load())
    notifier_ = found;
  return found;
}

ACE_Reactor *Notifier_Handler::reactor()
{
  return orb_manager_ ? orb_manager_->reactor() : nullptr;
}

int Notifier_Handler::close()
{
  if (closed_.exchange(true))
    return 0;
  closed_count_.fetch_add(1);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!CORBA::is_nil(notifier_)) {
      ACE_DEBUG((LM_DEBUG, "closing down Notifier_Handler\n"));
      notifier_ = Event_Comm::Notifier::_nil();
    }
  }
  if (!CORBA::is_nil(orb_)) {
    try {
      orb_->shutdown(false);
    } catch (const CORBA::Exception &ex) {
      print_exception(ex, "Notifier_Handler::close");
    }
  }
  if (ACE_Reactor *r = reactor())
    r->end_reactor_event_loop();
  return 0;
}

int Notifier_Handler::close_count()
{
  return closed_count_.load();
}

// ---------------------------------------------------------------- TMXInterface_Server

TMXInterface_Server::TMXInterface_Server(ElapsedTimeSource *app)
  : servant_(app)
{
}

TMXInterface_Server::~TMXInterface_Server() = default;

int TMXInterface_Server::init(ORB_Manager *orb_manager, CosNaming::NamingContext_ptr naming_context)
{
  orb_manager_ = orb_manager;
  if (orb_manager_ == nullptr || CORBA::is_nil(naming_context))
    return -1;
  try {
    naming_context_ = CosNaming::NamingContextExt::_narrow(naming_context);
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "TMXInterface_Server::init");
    return -1;
  }
  if (CORBA::is_nil(naming_context_))
    return -1;
  orb_manager_->activate_under_child_poa("TMXSYSTEM", &servant_);
  return init_naming_service();
}

int TMXInterface_Server::init_naming_service()
{
  try {
    TMX::System_var system = servant_._this();
    CosNaming::Name_var name = naming_context_->to_name("TMXSYSTEM");
    naming_context_->bind(name.in(), system.in());
    name_ = name.in();
    bound_ = true;
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "TMXInterface_Server::init_naming_service\n");
    return -1;
  }
  return 0;
}

int TMXInterface_Server::shutdown()
{
  servant_.disconnect("TMXInterface_Server shutdown.");
  // A name this server did not bind belongs to another monitor.
  if (CORBA::is_nil(naming_context_) || !bound_.exchange(false))
    return -1;
  try {
    naming_context_->unbind(name_);
  } catch (const CORBA::Exception &) {
    return -1;
  }
  return 0;
}
