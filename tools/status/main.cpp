// tmx-status: asks the monitor's TMX::System how long it has been running.
#include <cstdio>
#include <string>

#include "TMX.hh"
#include "orb/Orb.h"
#include "tools/common/ToolSupport.h"

using namespace tmx::tools;
using namespace tmx::orb;

namespace {

const char program[] = "tmx-status";

const char usageText[] = "usage: tmx-status [ORB options] [--disconnect REASON] [--timeout MS]\n"
                         "\n"
                         "Resolves \"TMXSYSTEM\" in the naming service, narrows it to TMX::System and\n"
                         "prints the monitor's running time:\n"
                         "  elapsedTime: SECONDS s (H:MM:SS)\n"
                         "With --disconnect it then calls disconnect(REASON) and prints\n"
                         "  disconnect sent: REASON\n"
                         "\n"
                         "ORB options come first; the naming service is given with\n"
                         "  -ORBInitRef NameService=corbaloc::HOST:PORT/NameService\n"
                         "\n"
                         "Options:\n"
                         "  --disconnect REASON  call disconnect with REASON after the query\n"
                         "  --timeout MS         limit of each remote call and connection, in\n"
                         "                       milliseconds (default 5000; -ORBclientCallTimeOutPeriod\n"
                         "                       also works)\n"
                         "  -h, --help           this text\n"
                         "\n"
                         "Exit status: 0 on success; 1 when nothing is bound as \"TMXSYSTEM\" or the\n"
                         "object is not a TMX::System; 2 for a bad command line; 3 when the naming\n"
                         "service or the monitor cannot be reached or does not answer in time.\n";

int usageError(const std::string &what)
{
  return tmx::tools::usageError(program, what);
}

// "H:MM:SS" of a signed number of seconds.
std::string hms(long long seconds)
{
  bool negative = seconds < 0;
  unsigned long long s = negative ? 0ULL - static_cast<unsigned long long>(seconds) : seconds;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%llu:%02llu:%02llu", negative ? "-" : "", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

bool unreachable(const CORBA::SystemException &e)
{
  return CORBA::TRANSIENT::_downcast(&e) || CORBA::COMM_FAILURE::_downcast(&e) ||
         CORBA::TIMEOUT::_downcast(&e) || CORBA::OBJECT_NOT_EXIST::_downcast(&e);
}

} // namespace

int main(int argc, char **argv)
{
  bool userCallTimeout = false;
  CORBA::ORB_var orb = initOrb(argc, argv, program, userCallTimeout);
  if (CORBA::is_nil(orb))
    return 2;

  const char *reason = nullptr;
  unsigned long timeoutMs = 5000;
  int bad = 0;
  for (int i = 1; i < argc && !bad; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(usageText, stdout);
      orb->destroy();
      return 0;
    } else if (arg == "--disconnect") {
      if (i + 1 >= argc)
        bad = usageError("--disconnect needs a reason");
      else
        reason = argv[++i];
    } else if (arg == "--timeout") {
      if (i + 1 >= argc || !parseUnsigned(argv[i + 1], timeoutMs) || timeoutMs == 0)
        bad = usageError("--timeout needs a number of milliseconds greater than 0");
      ++i;
    } else {
      bad = usageError("unknown argument \"" + arg + "\"");
    }
  }
  if (bad) {
    orb->destroy();
    return bad;
  }
  if (!userCallTimeout)
    omniORB::setClientCallTimeout(static_cast<CORBA::ULong>(timeoutMs));
  omniORB::setClientConnectTimeout(static_cast<CORBA::ULong>(timeoutMs));

  int status = 0;
  const char *step = "naming service";
  try {
    CosNaming::NamingContextExt_var naming = rootContext(orb);
    step = "resolve \"TMXSYSTEM\"";
    CORBA::Object_var obj = naming->resolve_str("TMXSYSTEM");
    step = "monitor";
    TMX::System_var system = TMX::System::_narrow(obj);
    if (CORBA::is_nil(system)) {
      std::fprintf(stderr, "tmx-status: the object bound as \"TMXSYSTEM\" is not a TMX::System\n");
      status = 1;
    } else {
      step = "elapsedTime";
      CORBA::ULongLong elapsed = system->elapsedTime();
      std::printf("elapsedTime: %llu s (%s)\n",
                  static_cast<unsigned long long>(elapsed),
                  hms(static_cast<long long>(elapsed)).c_str());
      std::fflush(stdout);
      if (reason) {
        step = "disconnect";
        system->disconnect(reason);
        std::printf("disconnect sent: %s\n", reason);
      }
    }
  } catch (const CORBA::ORB::InvalidName &) {
    reportNoNamingService(program);
    status = 1;
  } catch (const CosNaming::NamingContext::NotFound &) {
    std::fprintf(stderr, "tmx-status: the monitor is not running: nothing is bound as \"TMXSYSTEM\"\n");
    status = 1;
  } catch (const CORBA::SystemException &e) {
    if (unreachable(e)) {
      std::fprintf(stderr,
                   "tmx-status: cannot reach the %s: %s\n",
                   std::string(step) == "naming service" || std::string(step).rfind("resolve", 0) == 0
                     ? "naming service"
                     : "monitor",
                   describe(e).c_str());
      status = 3;
    } else {
      std::fprintf(stderr, "tmx-status: %s failed: %s\n", step, describe(e).c_str());
      status = 1;
    }
  } catch (const CORBA::Exception &e) {
    std::fprintf(stderr, "tmx-status: %s failed: %s\n", step, describe(e).c_str());
    status = 1;
  }

  try {
    orb->destroy();
  } catch (const CORBA::Exception &) {
  }
  return status;
}
