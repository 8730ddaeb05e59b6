#include "tools/common/ToolSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <omniORB4/minorCode.h>
#include <pthread.h>
#include <sstream>

namespace tmx::tools {

namespace {

sigset_t handledSignals()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

} // namespace

SignalWaiter::SignalWaiter(std::function<void(int)> onSignal)
  : onSignal_(std::move(onSignal))
{
  sigset_t set = handledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this] {
    sigset_t waitSet = handledSignals();
    int sig = 0;
    while (sigwait(&waitSet, &sig) != 0) {
    }
    if (stopping_)
      return;
    received_ = sig;
    if (onSignal_)
      onSignal_(sig);
  });
}

SignalWaiter::~SignalWaiter()
{
  if (!thread_.joinable())
    return;
  stopping_ = true;
  // Wakes the sigwait; the signal is blocked everywhere, so only that
  // thread takes it. Harmless when the thread has already returned.
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

int SignalWaiter::received() const
{
  return received_;
}

std::string describe(const CORBA::Exception &e)
{
  std::ostringstream out;
  out << e._name();
  if (const CORBA::SystemException *se = CORBA::SystemException::_downcast(&e)) {
    const char *minor = se->NP_minorString();
    out << " (minor " << (minor ? minor : "") << (minor ? ", " : "") << "0x" << std::hex << se->minor()
        << std::dec << ", "
        << (se->completed() == CORBA::COMPLETED_YES  ? "COMPLETED_YES"
            : se->completed() == CORBA::COMPLETED_NO ? "COMPLETED_NO"
                                                     : "COMPLETED_MAYBE")
        << ")";
  }
  return out.str();
}

CosNaming::Name simpleName(const char *id)
{
  CosNaming::Name name;
  name.length(1);
  name[0].id = id;
  name[0].kind = "";
  return name;
}

CosNaming::NamingContext_ptr rootContext(CORBA::ORB_ptr orb)
{
  CORBA::Object_var obj;
  try {
    obj = orb->resolve_initial_references("NameService");
  } catch (const CORBA::NO_RESOURCES &e) {
    // omniORB's way of saying that no such initial reference was given.
    if (e.minor() == omni::NO_RESOURCES_InitialRefNotFound)
      throw CORBA::ORB::InvalidName();
    throw;
  }
  CosNaming::NamingContext_var ctx = CosNaming::NamingContext::_narrow(obj);
  if (CORBA::is_nil(ctx))
    throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  return ctx._retn();
}

bool hasOrbOption(int argc, char **argv, const char *option)
{
  std::size_t n = std::strlen(option);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], option, n) == 0 && (argv[i][n] == '\0' || argv[i][n] == '='))
      return true;
  }
  return false;
}

int usageError(const char *program, const std::string &what)
{
  std::fprintf(stderr, "%s: %s\n(%s --help shows the usage)\n", program, what.c_str(), program);
  return 2;
}

CORBA::ORB_ptr initOrb(int &argc, char **argv, const char *program, bool &userCallTimeout)
{
  userCallTimeout = hasOrbOption(argc, argv, "-ORBclientCallTimeOutPeriod");
  try {
    return CORBA::ORB_init(argc, argv);
  } catch (const CORBA::Exception &e) {
    usageError(program, "bad ORB option: " + describe(e));
    return CORBA::ORB::_nil();
  }
}

void destroyOrb(CORBA::ORB_ptr orb, const char *program)
{
  try {
    orb->destroy();
  } catch (const CORBA::Exception &e) {
    std::fprintf(stderr, "%s: ORB shutdown: %s\n", program, describe(e).c_str());
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

bool parseUnsigned(const char *text, unsigned long &value)
{
  if (!text || !*text || *text == '-')
    return false;
  char *end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0';
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
