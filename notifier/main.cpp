// tmx-notifier: the Event_Comm::Notifier service, bound as "Notifier".
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "notifier/Notifier_i.h"
#include "notifier/PushGate.h"
#include "orb/Orb.h"
#include "orb/SignalWaiter.h"
#include "tools/common/CommandLine.h"
#include "tools/common/ToolSupport.h"

using namespace tmx::tools;
using namespace tmx::orb;

namespace {

const char program[] = "tmx-notifier";

const char usageText[] =
  "usage: tmx-notifier [ORB options] [--queue-limit N] [--queue-bytes B] [--max-consumers N]\n"
  "                    [--push-timeout MS] [--drain MS] [--push-allow NAME]...\n"
  "\n"
  "The notifier service: implements Event_Comm::Notifier, binds itself as\n"
  "\"Notifier\" (rebind) in the naming service and delivers every pushed event\n"
  "to the consumers subscribed to it. Prints \"tmx-notifier: bound as Notifier\"\n"
  "on standard output once bound. SIGINT or SIGTERM: unbinds \"Notifier\" (if it\n"
  "is still this service), delivers what is queued (--drain), sends disconnect\n"
  "to the consumers and exits.\n"
  "\n"
  "ORB options come first; the naming service is given with\n"
  "  -ORBInitRef NameService=corbaloc::HOST:PORT/NameService\n"
  "\n"
  "Filters (the filter argument of subscribe): terms separated by white space\n"
  "or commas; an event goes to a consumer when any term matches; an empty\n"
  "filter matches every event. A term is a kind of value_ (housekeeping,\n"
  "message, event, console, string, empty, unknown), a repository id of\n"
  "value_'s TypeCode (IDL:TMX/HousekeepingData:1.0), or tag:TEXT (tag_ equal\n"
  "to TEXT). A bad term makes subscribe raise CannotSubscribe. A consumer\n"
  "subscribes once (CannotSubscribe on a duplicate); unsubscribe of a consumer\n"
  "that is not subscribed raises CannotUnsubscribe. At most --max-consumers\n"
  "consumers are subscribed at a time; subscribe beyond that raises\n"
  "CannotSubscribe.\n"
  "\n"
  "Delivery: each consumer has its own queue and delivery thread, so push\n"
  "returns at once and a slow consumer delays nobody else. A consumer more\n"
  "than --queue-limit events (default 10000) or --queue-bytes bytes (default\n"
  "4194304, counted as the events' encoded size) behind loses its oldest\n"
  "events, reported on standard error (0 = no such bound). A consumer whose\n"
  "push fails or takes longer than --push-timeout milliseconds (default\n"
  "10000) is dropped and reported on standard error.\n"
  "\n"
  "TLS: given omniORB's TLS options (-ORBsslCAFile FILE -ORBsslKeyFile FILE\n"
  "-ORBsslKeyPassword PW, and giop:ssl endpoints), it serves and calls over\n"
  "TLS only, every peer presenting a certificate of the authority. With\n"
  "--push-allow, only callers whose certificate's subject common name is one\n"
  "of the names given may push (others get NO_PERMISSION); anyone with a\n"
  "certificate may still subscribe.\n"
  "\n"
  "Options:\n"
  "  --queue-limit N   undelivered events kept per consumer (default 10000)\n"
  "  --queue-bytes B   bytes of undelivered events kept per consumer\n"
  "                    (default 4194304)\n"
  "  --max-consumers N consumers subscribed at a time (default 1000, at most\n"
  "                    100000)\n"
  "  --push-timeout MS time-out of one push to a consumer (default 10000;\n"
  "                    0 = the ORB's call time-out)\n"
  "  --drain MS        time allowed at exit to deliver queued events (default 2000)\n"
  "  --push-allow NAME let the certificate with common name NAME push (repeatable;\n"
  "                    needs TLS)\n"
  "  -h, --help        this text\n"
  "\n"
  "Exit status: 0 after SIGINT or SIGTERM; 1 when the naming service cannot\n"
  "be reached or the binding fails; 2 for a bad command line or a TLS set-up\n"
  "that cannot work (the file and the reason on standard error).\n";

std::mutex stopMutex;
std::condition_variable stopSignalled;
bool stopRequested = false;

} // namespace

int main(int argc, char **argv)
{
  SignalWaiter signals([](int) {
    std::lock_guard<std::mutex> lock(stopMutex);
    stopRequested = true;
    stopSignalled.notify_all();
  });

  CORBA::ORB_var orb = tmx::tools::initOrb(argc, argv, program);
  if (CORBA::is_nil(orb))
    return 2;

  Notifier_i::Options options;
  CommandLine commandLine(program, usageText);
  commandLine.number("queue-limit", "events", 0, ~0ULL, options.queueLimit);
  commandLine.number("queue-bytes", "bytes", 0, ~0ULL, options.queueBytes);
  commandLine.number(
    "max-consumers", "consumers", 1, Notifier_i::Options::maxConsumersLimit, options.maxConsumers);
  // The ORB's time-outs are 32-bit milliseconds; the drain deadline gets
  // the same bound, far inside the clock's range.
  commandLine.number("push-timeout", "milliseconds", 0, 4294967295ULL, options.pushTimeoutMs);
  commandLine.number("drain", "milliseconds", 0, 4294967295ULL, options.drainMs);
  std::vector<std::string> pushAllowed;
  commandLine.texts("push-allow", "a certificate name", pushAllowed);
  std::optional<int> done = commandLine.parse(argc, argv);
  if (!done && !pushAllowed.empty() && !tlsConfigured())
    done = commandLine.usageError("--push-allow needs TLS (-ORBsslCAFile, -ORBsslKeyFile, ...)");
  if (done) {
    orb->destroy();
    return *done;
  }
  if (!pushAllowed.empty())
    tmx::notifier::restrictPush(std::set<std::string>(pushAllowed.begin(), pushAllowed.end()));

  int status = 0;
  auto *servant = new Notifier_i(options);
  PortableServer::ServantBase_var holder = servant; // owns the servant
  CosNaming::NamingContextExt_var naming;
  CORBA::Object_var self;
  try {
    self = activateServant(orb, servant);
    try {
      naming = rootContext(orb);
    } catch (const CORBA::ORB::InvalidName &) {
      reportNoNamingService(program);
      status = 1;
    }
    if (!status) {
      naming->rebind(CosNaming::Name_var(naming->to_name("Notifier")), self.in());
      std::printf("tmx-notifier: bound as Notifier\n");
      std::fflush(stdout);
    }
  } catch (const CORBA::Exception &e) {
    std::fprintf(
      stderr, "tmx-notifier: cannot bind \"Notifier\" in the naming service: %s\n", describe(e).c_str());
    status = 1;
  }

  if (!status) {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopSignalled.wait(lock, [] { return stopRequested; });
    lock.unlock();
    std::fprintf(stderr,
                 "tmx-notifier: %s received, shutting down\n",
                 signals.received() == SIGINT ? "SIGINT" : "SIGTERM");

    // Unbind only our own binding: another notifier may have taken the name.
    try {
      CORBA::Object_var bound = naming->resolve_str("Notifier");
      if (bound->_is_equivalent(self.in()))
        naming->unbind(CosNaming::Name_var(naming->to_name("Notifier")));
    } catch (const CosNaming::NamingContext::NotFound &) {
    } catch (const CORBA::Exception &e) {
      std::fprintf(stderr, "tmx-notifier: cannot unbind \"Notifier\": %s\n", describe(e).c_str());
    }
  }

  servant->shutdown("tmx-notifier shutting down");
  naming = CosNaming::NamingContextExt::_nil();
  self = CORBA::Object::_nil();
  destroyOrb(orb, program);
  return status;
}
