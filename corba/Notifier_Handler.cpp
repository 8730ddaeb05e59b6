#include "corba/Notifier_Handler.h"

#include "corba/ORB_Manager.h"
#include "corba/print_exception.h"

#include <ace/Log_Msg.h>
#include <ace/Reactor.h>

namespace {
CosNaming::Name single_name(const char *id)
{
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(id);
  name[0].kind = CORBA::string_dup("");
  return name;
}
} // namespace

std::atomic<int> Notifier_Handler::closed_{ 0 };

Notifier_Handler::Notifier_Handler() = default;

Notifier_Handler::~Notifier_Handler()
{
  ACE_DEBUG((LM_DEBUG, "Notifier_Handler::~Notifier_Handler\n"));
}

int Notifier_Handler::init(ORB_Manager *orb_manager, CosNaming::NamingContext_var naming_context)
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
    naming_context_ = naming_context;
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, label);
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
    CORBA::Object_var object = naming_context_->resolve(single_name("Notifier"));
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
  if (closed_.load() == 0)
    notifier_ = found;
  return found;
}

ACE_Reactor *Notifier_Handler::reactor()
{
  return orb_manager_ ? orb_manager_->reactor() : nullptr;
}

int Notifier_Handler::close()
{
  int expected = 0;
  if (!closed_.compare_exchange_strong(expected, 1))
    return 0;
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
  return closed_.load();
}

void Notifier_Handler::reset_close_for_tests()
{
  closed_.store(0);
}

// ---------------------------------------------------------------- TMXInterface_Server

TMXInterface_Server::TMXInterface_Server(ElapsedTimeSource *app)
  : servant_(app)
{
}

TMXInterface_Server::~TMXInterface_Server() = default;

int TMXInterface_Server::init(ORB_Manager *orb_manager, CosNaming::NamingContext_var naming_context)
{
  orb_manager_ = orb_manager;
  naming_context_ = naming_context;
  if (orb_manager_ == nullptr || CORBA::is_nil(naming_context_))
    return -1;
  orb_manager_->activate_under_child_poa("TMXSYSTEM", &servant_);
  return init_naming_service();
}

int TMXInterface_Server::init_naming_service()
{
  try {
    TMX::System_var system = servant_._this();
    naming_context_->bind(single_name("TMXSYSTEM"), system.in());
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
    naming_context_->unbind(single_name("TMXSYSTEM"));
  } catch (const CORBA::Exception &) {
    return -1;
  }
  return 0;
}
