// tmx-watch: subscribes to the notifier service and prints what it gets.
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "orb/Orb.h"
#include "orb/SignalWaiter.h"
#include "tools/common/CommandLine.h"
#include "tools/common/ToolSupport.h"
#include "tools/watch/EventFormat.h"

using namespace tmx::tools;
using namespace tmx::orb;
using tmx::wire::escaped;

namespace {

const char program[] = "tmx-watch";

const char usageText[] =
  "usage: tmx-watch [ORB options] [--filter F] [--json | --csv] [--count N] [--timeout S]\n"
  "\n"
  "Subscribes to the notifier service bound as \"Notifier\" and prints every\n"
  "event it receives, one line each, flushed at once:\n"
  "  RECEIVED KIND tag=\"...\" FIELD=VALUE...\n"
  "RECEIVED is the receive time (ISO 8601 UTC, milliseconds); KIND, told by the\n"
  "TypeCode of value_, is housekeeping, message, event, console (a nested\n"
  "Event_Comm::Event carrying a console line), string, empty, or the\n"
  "repository id of any other value. Texts are quoted with C escapes and\n"
  "repository ids escaped alike; times are shown as seconds and ISO 8601 UTC,\n"
  "except a message's arrival_time, the monitor's local time, shown with no\n"
  "zone letter (\"arrival_timeLocal\" in JSON). With --json the object has\n"
  "\"received\", \"kind\" (those names, or \"unknown\"), \"type\" (the repository\n"
  "id, when there is one), \"tag\" and the fields.\n"
  "\n"
  "ORB options come first; the naming service is given with\n"
  "  -ORBInitRef NameService=corbaloc::HOST:PORT/NameService\n"
  "\n"
  "Options:\n"
  "  --filter F   filter given to subscribe (see tmx-notifier --help); default\n"
  "               every event, or \"housekeeping\" with --csv\n"
  "  --json       one JSON object per line instead\n"
  "  --csv        housekeeping records only, as CSV with a header line\n"
  "  --count N    exit after N printed events (N > 0)\n"
  "  --timeout S  give up after S seconds (exit status 3; S <= 4294967295)\n"
  "  -h, --help   this text\n"
  "\n"
  "It unsubscribes when it exits (SIGINT, SIGTERM, --count reached, --timeout);\n"
  "when the notifier disconnects it, it exits without unsubscribing.\n"
  "\n"
  "Exit status: 0 on SIGINT, SIGTERM, --count reached or a disconnect from the\n"
  "notifier; 1 when the naming service or the notifier cannot be reached, no\n"
  "notifier is bound, the subscription is refused, or standard output cannot\n"
  "be written (the reader has gone); 2 for a bad command line or a TLS set-up\n"
  "that cannot work; 3 when --timeout expired first.\n";

enum class Format
{
  text,
  json,
  csv
};

enum class Stop
{
  none,
  signal,
  count,
  disconnected,
  timeout,
  outputClosed
};

// Shared between the consumer servant (ORB threads), the signal thread and
// main.
struct WatchState
{
  std::mutex mutex;
  std::condition_variable changed;
  Stop stop = Stop::none;
  unsigned long printed = 0;
  std::string disconnectReason;

  void request(Stop why)
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stop == Stop::none)
      stop = why;
    changed.notify_all();
  }
};

class WatchConsumer : public POA_Event_Comm::Consumer
{
public:
  WatchConsumer(WatchState &state, Format format, unsigned long count)
    : state_(state)
    , format_(format)
    , count_(count)
  {
  }

  void push(const Event_Comm::Event &event) override
  {
    auto received = std::chrono::system_clock::now();
    std::string line;
    if (format_ == Format::text)
      line = formatText(event, received);
    else if (format_ == Format::json)
      line = formatJson(event, received);
    else if (auto csv = formatCsv(event, received))
      line = *csv;
    else
      return;
    std::lock_guard<std::mutex> lock(state_.mutex);
    if (state_.stop != Stop::none)
      return; // already leaving; --count must not print more than N
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      // The reader has gone (a closed pipe): leave cleanly.
      state_.stop = Stop::outputClosed;
      state_.changed.notify_all();
      return;
    }
    if (count_ && ++state_.printed >= count_) {
      state_.stop = Stop::count;
      state_.changed.notify_all();
    }
  }

  void disconnect(const char *reason) override
  {
    std::lock_guard<std::mutex> lock(state_.mutex);
    state_.disconnectReason = reason ? reason : "";
    if (state_.stop == Stop::none)
      state_.stop = Stop::disconnected;
    state_.changed.notify_all();
  }

private:
  WatchState &state_;
  const Format format_;
  const unsigned long count_;
};

// The longest --timeout: the wait's deadline stays far inside the clock's
// range.
constexpr unsigned long long maxTimeoutSeconds = 4294967295ULL;

} // namespace

int main(int argc, char **argv)
{
  // A closed output pipe is an error to report, not a reason to die
  // without unsubscribing.
  std::signal(SIGPIPE, SIG_IGN);
  WatchState state;
  SignalWaiter signals([&state](int) { state.request(Stop::signal); });

  CORBA::ORB_var orb = tmx::tools::initOrb(argc, argv, program);
  if (CORBA::is_nil(orb))
    return 2;

  unsigned long count = 0, timeout = 0;
  std::string filter;
  bool filterGiven = false, json = false, csv = false;
  CommandLine options(program, usageText);
  options.text("filter", "a filter", filter, &filterGiven);
  options.flag("json", json);
  options.flag("csv", csv);
  options.number("count", "", 1, ~0ULL, count);
  options.number("timeout", "seconds", 1, maxTimeoutSeconds, timeout);
  std::optional<int> done = options.parse(argc, argv);
  if (!done && json && csv)
    done = options.usageError("--json and --csv exclude each other");
  if (done) {
    orb->destroy();
    return *done;
  }
  Format format = json ? Format::json : csv ? Format::csv : Format::text;
  if (format == Format::csv && !filterGiven)
    filter = "housekeeping";

  int status = 0;
  auto *servant = new WatchConsumer(state, format, count);
  PortableServer::ServantBase_var holder = servant;
  Event_Comm::Notifier_var notifier;
  Event_Comm::Consumer_var self;
  const char *step = "ORB set-up";
  try {
    CORBA::Object_var obj = activateServant(orb, servant);
    self = Event_Comm::Consumer::_narrow(obj);

    step = "naming service";
    CosNaming::NamingContextExt_var naming = rootContext(orb);
    step = "resolve \"Notifier\"";
    obj = naming->resolve_str("Notifier");
    step = "notifier";
    notifier = Event_Comm::Notifier::_narrow(obj);
    if (CORBA::is_nil(notifier)) {
      std::fprintf(stderr, "tmx-watch: the object bound as \"Notifier\" is not an Event_Comm::Notifier\n");
      status = 1;
    } else {
      if (format == Format::csv) {
        std::printf("%s\n", csvHeader());
        std::fflush(stdout);
      }
      notifier->subscribe(self.in(), filter.c_str());
    }
  } catch (const CORBA::ORB::InvalidName &) {
    reportNoNamingService(program);
    status = 1;
  } catch (const CosNaming::NamingContext::NotFound &) {
    std::fprintf(stderr, "tmx-watch: no notifier service is bound as \"Notifier\" in the naming service\n");
    status = 1;
  } catch (const Event_Comm::Notifier::CannotSubscribe &e) {
    std::fprintf(stderr, "tmx-watch: subscription refused: %s\n", escaped(e.reason_.in()).c_str());
    status = 1;
  } catch (const CORBA::Exception &e) {
    std::fprintf(stderr, "tmx-watch: %s failed: %s\n", step, describe(e).c_str());
    status = 1;
  }

  if (!status) {
    std::unique_lock<std::mutex> lock(state.mutex);
    auto done = [&] { return state.stop != Stop::none; };
    if (timeout)
      state.changed.wait_for(lock, std::chrono::seconds(timeout), done);
    else
      state.changed.wait(lock, done);
    if (state.stop == Stop::none)
      state.stop = Stop::timeout;
    Stop why = state.stop;
    lock.unlock();

    if (why == Stop::disconnected) {
      std::fprintf(stderr,
                   "tmx-watch: disconnected by the notifier: %s\n",
                   escaped(state.disconnectReason.c_str()).c_str());
    } else {
      try {
        notifier->unsubscribe(self.in(), filter.c_str());
      } catch (const Event_Comm::Notifier::CannotUnsubscribe &e) {
        std::fprintf(stderr, "tmx-watch: unsubscribe refused: %s\n", escaped(e.reason_.in()).c_str());
      } catch (const CORBA::Exception &e) {
        std::fprintf(stderr, "tmx-watch: unsubscribe failed: %s\n", describe(e).c_str());
      }
    }
    if (why == Stop::outputClosed) {
      std::fprintf(stderr, "tmx-watch: cannot write to standard output\n");
      status = 1;
    }
    if (why == Stop::timeout) {
      std::fprintf(stderr, "tmx-watch: time-out after %lu s\n", timeout);
      status = 3;
    }
  }

  notifier = Event_Comm::Notifier::_nil();
  self = Event_Comm::Consumer::_nil();
  destroyOrb(orb, program);
  return status;
}
