#include "tools/common/ToolSupport.h"

#include "orb/Orb.h"

#include <cstdio>
#include <sstream>

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

ValueKind kindOf(const CORBA::Any &value)
{
  CORBA::TypeCode_var tc = value.type();
  CORBA::TypeCode_var real = CORBA::TypeCode::_duplicate(tc);
  while (real->kind() == CORBA::tk_alias)
    real = real->content_type();
  switch (real->kind()) {
    case CORBA::tk_null:
    case CORBA::tk_void:
      return { "empty", "" };
    case CORBA::tk_string:
      return { "string", "" };
    default:
      break;
  }
  std::string id;
  try {
    id = real->id();
  } catch (const CORBA::TypeCode::BadKind &) {
    // Basic types have no repository id: name them by their kind.
    std::ostringstream out;
    out << "tk_" << static_cast<int>(real->kind());
    return { "unknown", out.str() };
  }
  if (id == "IDL:TMX/HousekeepingData:1.0")
    return { "housekeeping", id };
  if (id == "IDL:TMX/Message:1.0")
    return { "message", id };
  if (id == "IDL:TMX/Event:1.0")
    return { "event", id };
  if (id == "IDL:Event_Comm/Event:1.0")
    return { "console", id };
  return { "unknown", id };
}

} // namespace tmx::tools
