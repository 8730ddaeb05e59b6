// tmx-status: asks the monitor's TMX::System how long it has been running.
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>

#include "TMX.hh"
#include "orb/Orb.h"
#include "tools/common/CommandLine.h"
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
                         "object is not a TMX::System; 2 for a bad command line or a TLS set-up that\n"
                         "cannot work; 3 when the naming\n"
                         "service or the monitor cannot be reached or does not answer in time.\n";

// "H:MM:SS" of a signed number of seconds.
std::string hms(long long seconds)
{
  using namespace std::chrono;
  bool negative = seconds < 0;
  // Unsigned, so that the most negative count has a magnitude too.
  duration<unsigned long long> d(negative ? 0ULL - static_cast<unsigned long long>(seconds) : seconds);
  auto h = duration_cast<hours>(d);
  auto m = duration_cast<minutes>(d - h);
  auto s = d - h - m;
  std::ostringstream out;
  out << (negative ? "-" : "") << h.count() << ':' << std::setfill('0') << std::setw(2) << m.count() << ':'
      << std::setw(2) << s.count();
  return out.str();
}

bool unreachable(const CORBA::SystemException &e)
{
  return CORBA::TRANSIENT::_downcast(&e) || CORBA::COMM_FAILURE::_downcast(&e) ||
         CORBA::TIMEOUT::_downcast(&e) || CORBA::OBJECT_NOT_EXIST::_downcast(&e);
}

} // namespace

int main(int argc, char **argv)
{
  CORBA::ORB_var orb = tmx::tools::initOrb(argc, argv, program);
  if (CORBA::is_nil(orb))
    return 2;

  std::string reason;
  bool disconnect = false;
  CORBA::ULong timeoutMs = 5000;
  CommandLine options(program, usageText);
  options.text("disconnect", "a reason", reason, &disconnect);
  // The ORB's time-outs are 32-bit milliseconds, where 0 means none.
  options.number("timeout", "milliseconds", 1, 4294967295ULL, timeoutMs);
  if (std::optional<int> done = options.parse(argc, argv)) {
    orb->destroy();
    return *done;
  }
  if (!callTimeoutConfigured())
    omniORB::setClientCallTimeout(timeoutMs);
  omniORB::setClientConnectTimeout(timeoutMs);

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
      if (disconnect) {
        step = "disconnect";
        system->disconnect(reason.c_str());
        std::printf("disconnect sent: %s\n", reason.c_str());
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
