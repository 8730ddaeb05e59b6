// The ORB, its root POA, the child POA "child_poa" and the POA manager,
// plus the one ACE_Reactor of the CORBA side. omniORB serves incoming
// requests on its own threads; the reactor carries what the ORB thread
// dispatches itself (standard input, the SIGINT relay) and its loop stands
// for the ORB's event loop.
#pragma once

#include <omniORB4/CORBA.h>

#include <memory>
#include <string>

class ACE_Reactor;

class ORB_Manager
{
public:
  ORB_Manager();
  // Destroys the ORB when init created one, so that a later ORB_Manager in
  // the same process can initialise a fresh one. Servants activated
  // through this manager must outlive it.
  ~ORB_Manager();
  ORB_Manager(const ORB_Manager &) = delete;
  ORB_Manager &operator=(const ORB_Manager &) = delete;

  // tmx::orb::initOrb (the ORB removes its own options from argv and lowers
  // argc; every remote call gets the default time-out unless omniORB's
  // configuration sets one), then the root POA and its manager. 0, or -1
  // when the root POA is missing or the TLS set-up cannot work (reported on
  // stderr as "tmx: TLS: FILE: REASON"); CORBA exceptions propagate.
  int init(int &argc, char *argv[], const char *orb_name = nullptr);
  // Creates the child POA under the root POA with PERSISTENT lifespan and
  // USER_ID id assignment, sharing the root POA's manager. -1 when init has
  // not run or the POA exists already; other CORBA exceptions propagate.
  int init_child_poa(int &argc, char *argv[], const char *poa_name);
  // 0, or -1 before init; CORBA exceptions propagate.
  int activate_poa_manager();
  // Activates the servant in the child POA with the name as its object id
  // and returns the stringified reference. CORBA exceptions propagate.
  std::string activate_under_child_poa(const char *object_name, PortableServer::Servant servant);

  // Borrowed references (not duplicated); nil before init.
  CORBA::ORB_ptr orb() const { return orb_.in(); }
  PortableServer::POA_ptr root_poa() const { return poa_.in(); }
  PortableServer::POA_ptr child_poa() const { return child_poa_.in(); }
  PortableServer::POAManager_ptr poa_manager() const { return poa_manager_.in(); }

  // True while an ORB initialised by an ORB_Manager exists in the process.
  // Before that, omniORB cannot marshal strings (its code sets are set up
  // by ORB_init), so copying an any that holds one must avoid marshalling.
  static bool orb_ready();

  // Exists from construction to destruction.
  ACE_Reactor *reactor() const { return reactor_.get(); }

private:
  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  PortableServer::POA_var child_poa_;
  PortableServer::POAManager_var poa_manager_;
  std::unique_ptr<ACE_Reactor> reactor_;
};
