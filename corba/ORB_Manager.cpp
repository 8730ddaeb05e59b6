#include "corba/ORB_Manager.h"

#include "corba/print_exception.h"
#include "orb/Orb.h"

#include <ace/Reactor.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<int> live_orbs{ 0 };
}

bool ORB_Manager::orb_ready()
{
  return live_orbs.load() > 0;
}

ORB_Manager::ORB_Manager()
  : reactor_(new ACE_Reactor)
{
}

ORB_Manager::~ORB_Manager()
{
  if (CORBA::is_nil(orb_))
    return;
  live_orbs.fetch_sub(1);
  child_poa_ = PortableServer::POA::_nil();
  poa_manager_ = PortableServer::POAManager::_nil();
  poa_ = PortableServer::POA::_nil();
  try {
    orb_->destroy();
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "ORB_Manager::~ORB_Manager");
  }
}

int ORB_Manager::init(int &argc, char *argv[], const char *orb_name)
{
  if (!CORBA::is_nil(orb_))
    return -1;
  try {
    orb_ = tmx::orb::initOrb(argc, argv, orb_name ? orb_name : "omniORB4");
  } catch (const tmx::orb::TlsSetupError &e) {
    std::fprintf(stderr, "tmx: %s\n", e.what());
    return -1;
  }
  live_orbs.fetch_add(1);
  CORBA::Object_var object = orb_->resolve_initial_references("RootPOA");
  poa_ = PortableServer::POA::_narrow(object.in());
  if (CORBA::is_nil(poa_))
    return -1;
  poa_manager_ = poa_->the_POAManager();
  return 0;
}

int ORB_Manager::init_child_poa(int &, char *[], const char *poa_name)
{
  if (CORBA::is_nil(poa_))
    return -1;
  CORBA::PolicyList policies;
  policies.length(2);
  policies[0] = poa_->create_lifespan_policy(PortableServer::PERSISTENT);
  policies[1] = poa_->create_id_assignment_policy(PortableServer::USER_ID);
  // The policy objects go with the sequence's references.
  try {
    child_poa_ = poa_->create_POA(poa_name, poa_manager_.in(), policies);
  } catch (const PortableServer::POA::AdapterAlreadyExists &) {
    return -1;
  }
  return 0;
}

int ORB_Manager::activate_poa_manager()
{
  if (CORBA::is_nil(poa_manager_))
    return -1;
  poa_manager_->activate();
  return 0;
}

std::string ORB_Manager::activate_under_child_poa(const char *object_name, PortableServer::Servant servant)
{
  if (CORBA::is_nil(child_poa_))
    throw CORBA::BAD_INV_ORDER();
  PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(object_name);
  child_poa_->activate_object_with_id(id.in(), servant);
  CORBA::Object_var object = child_poa_->id_to_reference(id.in());
  CORBA::String_var ior = orb_->object_to_string(object.in());
  return std::string(ior.in());
}
