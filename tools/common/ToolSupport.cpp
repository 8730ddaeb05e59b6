#include "tools/common/ToolSupport.h"

#include "orb/Orb.h"

#include <cstdio>

namespace tmx::tools {

int usageError(const char *program, const std::string &what)
{
  std::fprintf(stderr, "%s: %s\n(%s --help shows the usage)\n", program, what.c_str(), program);
  return 2;
}

CORBA::ORB_ptr initOrb(int &argc, char **argv, const char *program)
{
  try {
    return tmx::orb::initOrb(argc, argv);
  } catch (const CORBA::Exception &e) {
    usageError(program, "bad ORB option: " + tmx::orb::describe(e));
    return CORBA::ORB::_nil();
  } catch (const tmx::orb::TlsSetupError &e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return CORBA::ORB::_nil();
  }
}

CORBA::Object_ptr activateServant(CORBA::ORB_ptr orb, PortableServer::Servant servant)
{
  CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  CORBA::Object_var self = poa->id_to_reference(id.in());
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();
  return self._retn();
}

void reportNoNamingService(const char *program)
{
  std::fprintf(stderr,
               "%s: no naming service given "
               "(use -ORBInitRef NameService=corbaloc::HOST:PORT/NameService)\n",
               program);
}

} // namespace tmx::tools
