#include "web/Service.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>

#include "TMX.hh"
#include "orb/Orb.h"
#include "orb/SignalWaiter.h"
#include "tools/common/CommandLine.h"
#include "tools/common/ToolSupport.h"
#include "web/Api.h"
#include "web/Ingest.h"
#include "web/Live.h"
#include "web/Subscription.h"
#include "wire/Decode.h"
#include "wire/Quoting.h"

namespace tmx::web {

namespace {

const char program[] = "tmx-web";

const char usageText[] =
  "usage: tmx-web [ORB options] [--archive FILE] [--listen ADDR:PORT] [--keep-days N]\n"
  "               [--config FILE]\n"
  "\n"
  "Subscribes to the notifier service bound as \"Notifier\" (every event), keeps\n"
  "every housekeeping record, alarm message and console line in an archive\n"
  "(SQLite), and serves them over HTTP: /api/current, /api/housekeeping,\n"
  "/api/messages, /api/events (server-sent events) and /metrics (Prometheus).\n"
  "When the notifier disconnects it, goes away, or no record comes for 15 s,\n"
  "it says so on standard error and subscribes again until it can.\n"
  "\n"
  "ORB options come first; the naming service is given with\n"
  "  -ORBInitRef NameService=corbaloc::HOST:PORT/NameService\n"
  "\n"
  "Options:\n"
  "  --archive FILE     the archive (default tmx-history.sqlite; created when\n"
  "                     missing)\n"
  "  --listen ADDR:PORT where HTTP is served (default 127.0.0.1:8080; port 0\n"
  "                     takes a free one; [ADDR]:PORT for IPv6)\n"
  "  --keep-days N      delete records older than N days (default: keep all)\n"
  "  --config FILE      the monitor's tmx.cfg: each housing's limits (its\n"
  "                     TMX-E1-LIMITS / TMX-S1-LIMITS entry) are shown with\n"
  "                     its readings; read once at start (default: no limits)\n"
  "  -h, --help         this text\n"
  "\n"
  "Once serving it prints \"tmx-web: serving http://ADDR:PORT/\" on standard\n"
  "output. SIGINT or SIGTERM: it unsubscribes, stops serving, writes what is\n"
  "queued to the archive and exits.\n"
  "\n"
  "Exit status: 0 after SIGINT or SIGTERM; 1 when the archive is refused (not\n"
  "an archive of tmx-web, or damaged) or cannot be made, the address cannot\n"
  "be served (in use), the --config file cannot be read, or no naming service\n"
  "is given; 2 for a bad command line.\n";

void report(const std::string &what)
{
  std::fprintf(stderr, "%s: %s\n", program, what.c_str());
}

// ------------------------------------------------------------ the notifier

class NotifierConnector : public Connector
{
public:
  explicit NotifierConnector(CORBA::ORB_ptr orb)
    : orb_(CORBA::ORB::_duplicate(orb))
  {
  }

  void setSelf(Event_Comm::Consumer_ptr self) { self_ = Event_Comm::Consumer::_duplicate(self); }

  bool subscribe(std::string &why) override
  {
    const char *step = "naming service";
    try {
      CosNaming::NamingContextExt_var naming = orb::rootContext(orb_.in());
      step = "resolve \"Notifier\"";
      CORBA::Object_var obj = naming->resolve_str("Notifier");
      Event_Comm::Notifier_var notifier = Event_Comm::Notifier::_narrow(obj.in());
      if (CORBA::is_nil(notifier)) {
        why = "the object bound as \"Notifier\" is not an Event_Comm::Notifier";
        return false;
      }
      // The same notifier as before (staleness, not a restart): end our
      // subscription there first, or it refuses a second one.
      if (!CORBA::is_nil(notifier_) && notifier_->_is_equivalent(notifier.in())) {
        try {
          notifier->unsubscribe(self_.in(), "");
        } catch (const Event_Comm::Notifier::CannotUnsubscribe &) {
        }
      }
      step = "subscribe";
      notifier->subscribe(self_.in(), "");
      notifier_ = notifier._retn();
      return true;
    } catch (const CORBA::ORB::InvalidName &) {
      why = "no naming service given";
    } catch (const CosNaming::NamingContext::NotFound &) {
      why = "no notifier is bound as \"Notifier\"";
    } catch (const Event_Comm::Notifier::CannotSubscribe &e) {
      why = "subscription refused: " + wire::escaped(e.reason_.in());
    } catch (const CORBA::Exception &e) {
      why = std::string(step) + ": " + orb::describe(e);
    }
    return false;
  }

  bool alive(std::string &why) override
  {
    try {
      if (CORBA::is_nil(notifier_) || notifier_->_non_existent()) {
        why = "it no longer exists";
        return false;
      }
      return true;
    } catch (const CORBA::Exception &e) {
      why = orb::describe(e);
      return false;
    }
  }

  void unsubscribe() override
  {
    if (CORBA::is_nil(notifier_))
      return;
    try {
      notifier_->unsubscribe(self_.in(), "");
    } catch (const Event_Comm::Notifier::CannotUnsubscribe &e) {
      report("unsubscribe refused: " + wire::escaped(e.reason_.in()));
    } catch (const CORBA::Exception &e) {
      report("unsubscribe failed: " + orb::describe(e));
    }
  }

private:
  CORBA::ORB_var orb_;
  Event_Comm::Consumer_var self_;
  Event_Comm::Notifier_var notifier_; // only touched from the subscription's thread
};

// What a push feeds.
struct Sinks
{
  Subscription &subscription;
  LiveState &live;
  Metrics &metrics;
  EventHub &hub;
  Ingest &ingest;
};

// Everything here is quick and bounded: memory, gauges, bounded queues.
class WebConsumer : public POA_Event_Comm::Consumer
{
public:
  explicit WebConsumer(Sinks sinks)
    : s_(sinks)
  {
  }

  void push(const Event_Comm::Event &event) override
  {
    const double arrival = unixSeconds(std::chrono::system_clock::now());
    s_.subscription.recordArrived();
    std::optional<Record> record = wire::recordOf(event, arrival);
    if (!record)
      return;
    if (auto *h = std::get_if<archive::HousekeepingRecord>(&*record)) {
      s_.live.update(*h);
      s_.metrics.reading(*h);
      s_.hub.publish("housekeeping", s_.live.housingJson(h->housing, s_.subscription.status()));
    } else if (auto *m = std::get_if<archive::MessageRecord>(&*record)) {
      s_.metrics.message(m->priority);
      archive::LogEntry e{
        m->arrivalTime, archive::LogEntry::Kind::message, m->priority, m->sentTime, m->text
      };
      s_.hub.publish("message", logEntryJson(e));
    } else {
      const auto &c = std::get<archive::ConsoleLine>(*record);
      archive::LogEntry e{
        c.arrivalTime, archive::LogEntry::Kind::console, std::nullopt, std::nullopt, c.text
      };
      s_.hub.publish("message", logEntryJson(e));
    }
    s_.ingest.push(std::move(*record));
  }

  void disconnect(const char *reason) override
  {
    s_.subscription.disconnected(wire::escaped(reason ? reason : ""));
  }

private:
  Sinks s_;
};

class ArchiveStore : public Store
{
public:
  explicit ArchiveStore(archive::Archive &archive)
    : archive_(archive)
  {
  }
  archive::WriteCounts write(const archive::Batch &batch) override { return archive_.write(batch); }
  std::size_t prune(double cutoff, std::size_t maxRows) override { return archive_.prune(cutoff, maxRows); }

private:
  archive::Archive &archive_;
};

} // namespace

int runWeb(int argc, char **argv)
{
  // A client that goes away mid-reply must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  std::mutex stopMutex;
  std::condition_variable stopChanged;
  bool stopRequested = false;
  orb::SignalWaiter signals([&](int) {
    std::lock_guard<std::mutex> lock(stopMutex);
    stopRequested = true;
    stopChanged.notify_all();
  });

  CORBA::ORB_var orb = tools::initOrb(argc, argv, program);
  if (CORBA::is_nil(orb))
    return 2;

  std::string archivePath = "tmx-history.sqlite", listen = "127.0.0.1:8080", configPath;
  unsigned long keepDays = 0;
  tools::CommandLine options(program, usageText);
  options.fileName("archive", archivePath);
  options.text("listen", "ADDR:PORT", listen);
  options.number("keep-days", "days", 1, 100000, keepDays);
  options.fileName("config", configPath);
  std::optional<int> done = options.parse(argc, argv);
  std::string host;
  int port = 0;
  if (!done && !parseListen(listen, host, port))
    done = options.usageError("--listen needs ADDR:PORT, not \"" + listen + "\"");
  if (done) {
    orb::destroyOrb(orb, program);
    return *done;
  }
  // A dead or stalled notifier must be noticed well within the 15 s in
  // which records are to flow again.
  if (!tmx::orb::callTimeoutConfigured())
    omniORB::setClientCallTimeout(5000);

  int status = 0;
  std::optional<LimitsSet> limits;
  if (!configPath.empty()) {
    limits.emplace();
    std::string why;
    const auto malformed = [&configPath](const std::string &text) { report(configPath + ": " + text); };
    if (!readLimitsConfig(configPath, *limits, why, malformed)) {
      report("cannot read the configuration \"" + configPath + "\": " + why);
      orb::destroyOrb(orb, program);
      return 1;
    }
  }
  try {
    CosNaming::NamingContextExt_var naming = orb::rootContext(orb);
  } catch (const CORBA::ORB::InvalidName &) {
    tools::reportNoNamingService(program);
    status = 1;
  } catch (const CORBA::Exception &) {
    // Not reachable yet: the subscription keeps trying.
  }

  std::unique_ptr<archive::Archive> archive;
  if (!status) {
    try {
      archive = std::make_unique<archive::Archive>(archivePath);
    } catch (const archive::RefusedError &e) {
      report("archive \"" + archivePath + "\" refused: " + e.what());
      status = 1;
    } catch (const std::exception &e) {
      report("cannot open the archive \"" + archivePath + "\": " + e.what());
      status = 1;
    }
  }
  if (status) {
    orb::destroyOrb(orb, program);
    return status;
  }

  const Clock &clock = systemClock();
  LiveState live(clock);
  if (limits)
    live.setLimits(*limits);
  Metrics metrics;
  EventHub hub;
  for (int h = 0; h < archive::housingCount; ++h) {
    try {
      if (auto r = archive->latest(h)) {
        live.update(*r);
        metrics.reading(*r);
      }
    } catch (const std::exception &e) {
      report(std::string("cannot read the last records from the archive: ") + e.what());
    }
  }

  ArchiveStore store(*archive);
  Ingest::Options ingestOptions;
  if (keepDays)
    ingestOptions.keepSeconds = static_cast<double>(keepDays) * 86400.0;
  Ingest ingest(store, report, ingestOptions);
  ingest.onWritten([&metrics](const archive::WriteCounts &c) { metrics.written(c); });

  NotifierConnector connector(orb);
  Subscription subscription(connector, clock, report);
  subscription.onChange([&hub](const LinkStatus &s) { hub.publish("state", serviceJson(s)); });

  WebApi api(ApiSources{ *archive,
                         live,
                         hub,
                         metrics,
                         [&subscription] { return subscription.status(); },
                         [&ingest] { return ingest.dropped(); } });
  auto http = std::make_unique<HttpServer>(api, EventHub::Options().maxClients);
  std::string why;
  if (!http->bind(host, port, why)) {
    report("cannot listen on " + listen + ": " + why);
    http.reset();
    orb::destroyOrb(orb, program);
    return 1;
  }

  auto *servant = new WebConsumer(Sinks{ subscription, live, metrics, hub, ingest });
  PortableServer::ServantBase_var holder = servant;
  try {
    CORBA::Object_var obj = tools::activateServant(orb, servant);
    Event_Comm::Consumer_var self = Event_Comm::Consumer::_narrow(obj.in());
    connector.setSelf(self.in());
  } catch (const CORBA::Exception &e) {
    report("ORB set-up failed: " + orb::describe(e));
    http.reset();
    orb::destroyOrb(orb, program);
    return 1;
  }

  ingest.start();
  http->start();
  subscription.start();
  const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::printf("%s: serving http://%s:%d/\n", program, shownHost.c_str(), http->port());
  std::fflush(stdout);

  {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopChanged.wait(lock, [&] { return stopRequested; });
  }

  // Unsubscribe, end the streams and the server, let the ORB finish the
  // pushes in progress, then write what is queued.
  subscription.stop();
  hub.close();
  http->stop();
  if (!orb::destroyOrb(orb, program))
    status = 1;
  ingest.stop();
  return status;
}

} // namespace tmx::web
