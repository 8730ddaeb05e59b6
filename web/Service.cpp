#include "web/Service.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "config/LimitsFile.h"
#include "orb/Orb.h"
#include "orb/SignalWaiter.h"
#include "tools/common/CommandLine.h"
#include "tools/common/ToolSupport.h"
#include "web/AlarmApi.h"
#include "web/AlarmState.h"
#include "web/AlertClient.h"
#include "web/AlertLoop.h"
#include "web/Api.h"
#include "web/CurlSender.h"
#include "web/EventHub.h"
#include "web/HttpServer.h"
#include "web/Ingest.h"
#include "web/JsonViews.h"
#include "web/LiveState.h"
#include "web/Metrics.h"
#include "web/Notifier.h"
#include "web/Operator.h"
#include "web/Subscription.h"
#include "web/WebRoutes.h"

namespace tmx::web {

namespace {

const char program[] = "tmx-web";

const char usageText[] =
  "usage: tmx-web [ORB options] [--archive FILE] [--listen ADDR:PORT] [--keep-days N]\n"
  "               [--config FILE] [--max-per-address N]\n"
  "               [--operator-header NAME [--trusted-proxy ADDR]...]\n"
  "               [--local-operator NAME] [--max-shelve DURATION]\n"
  "               [--alertmanager URL]... [--external-url URL] [--instrument NAME]\n"
  "               [--escalate-after DURATION]\n"
  "\n"
  "Subscribes to the notifier service bound as \"Notifier\" (every event), keeps\n"
  "every housekeeping record, alarm message and console line in an archive\n"
  "(SQLite), and serves them over HTTP: /api/current, /api/housekeeping,\n"
  "/api/messages, /api/events (server-sent events), /api/whoami and /metrics\n"
  "(Prometheus). When the notifier disconnects it, goes away, or no record\n"
  "comes for 15 s, it says so on standard error and subscribes again until it\n"
  "can.\n"
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
  "  --max-per-address N\n"
  "                     HTTP connections open at once from one client\n"
  "                     address (default 256; behind a reverse proxy every\n"
  "                     client comes from the proxy's address)\n"
  "  --operator-header NAME\n"
  "                     the header (such as X-Remote-User) in which a trusted\n"
  "                     reverse proxy names the user it authenticated: that\n"
  "                     operator may act on alarms (default: nobody may)\n"
  "  --trusted-proxy ADDR\n"
  "                     an IP address whose operator header is believed\n"
  "                     (repeatable; default 127.0.0.1 and ::1); the header\n"
  "                     from any other address is refused\n"
  "  --local-operator NAME\n"
  "                     every request from loopback acts as NAME, but for a\n"
  "                     trusted proxy's (the header names those operators)\n"
  "  --max-shelve DURATION\n"
  "                     the longest an alarm may be shelved: minutes, or a\n"
  "                     number with m, h or d (\"90m\", \"24h\"), from 1m to\n"
  "                     30d (default 24h)\n"
  "  --alertmanager URL an Alertmanager (http:// or https://) to post the alarm\n"
  "                     episodes to (API v2), with a silence for each one\n"
  "                     acknowledged or shelved; repeatable, every one gets\n"
  "                     every alert (default: none)\n"
  "  --external-url URL the dashboard's address as people reach it, for the\n"
  "                     alerts' links (default the --listen address)\n"
  "  --instrument NAME  the alerts' instrument label (default the host name)\n"
  "  --escalate-after DURATION\n"
  "                     an episode unacknowledged this long after it opened\n"
  "                     also raises TmxAlarmUnacknowledged, severity \"page\"\n"
  "                     (as --max-shelve; default 15m)\n"
  "  --alert-interval SECONDS\n"
  "                     how often alerts are posted again (default 30; they\n"
  "                     end three intervals after the last posting)\n"
  "  -h, --help         this text\n"
  "\n"
  "Without --operator-header or --local-operator tmx-web is read-only. An\n"
  "action on an alarm (POST /api/alarms/...) needs a JSON body (Content-Type:\n"
  "application/json) and is refused from another site (Origin, Sec-Fetch-Site);\n"
  "/api/whoami says whom a client acts as.\n"
  "\n"
  "Once serving it prints \"tmx-web: serving http://ADDR:PORT/\" on standard\n"
  "output. SIGINT or SIGTERM: it unsubscribes, stops serving, writes what is\n"
  "queued to the archive and exits.\n"
  "\n"
  "Exit status: 0 after SIGINT or SIGTERM with every record written; 1 when\n"
  "records could not be written to the archive at shutdown, the archive is\n"
  "refused (not an archive of tmx-web, damaged, or not writable) or cannot be\n"
  "made, the address cannot be served (in use), the --config file cannot be\n"
  "read, or no naming service is given; 2 for a bad command line or a TLS\n"
  "set-up that cannot work (the file and the reason on standard error).\n";

void report(const std::string &what)
{
  std::fprintf(stderr, "%s: %s\n", program, what.c_str());
}

// The ORB of runWeb: destroyed once, by destroy() on the normal shutdown
// or else when the guard goes, so that every way out tears down alike.
// What uses the ORB (the connector, the servant) is made after the guard
// and so goes before it; on the early ways out nothing is subscribed yet,
// so no push can come while it goes.
class OrbGuard
{
public:
  explicit OrbGuard(CORBA::ORB_ptr orb)
    : orb_(orb)
  {
  }
  ~OrbGuard() { destroy(); }
  OrbGuard(const OrbGuard &) = delete;
  OrbGuard &operator=(const OrbGuard &) = delete;

  CORBA::ORB_ptr get() const { return orb_.in(); }

  // Destroys the ORB, letting the pushes in progress finish; false when
  // that failed (reported as "tmx-web: ORB shutdown: ..."). Later calls
  // only repeat the answer.
  bool destroy()
  {
    if (!destroyed_) {
      destroyed_ = true;
      succeeded_ = orb::destroyOrb(orb_.in(), program);
    }
    return succeeded_;
  }

private:
  CORBA::ORB_var orb_;
  bool destroyed_ = false;
  bool succeeded_ = true;
};

struct Settings
{
  std::string archivePath = "tmx-history.sqlite";
  std::string listen = "127.0.0.1:8080";
  std::string host; // and port: listen taken apart
  int port = 0;
  unsigned long keepDays = 0;
  std::string configPath;
  unsigned long maxPerAddress = HttpOptions().maxPerAddress;
  OperatorOptions operators;
  std::chrono::minutes maxShelve = std::chrono::hours(24); // the longest shelving of an alarm
  AlertSettings alerts;                                    // no URLs: no alerts
};

// "90" or "90m" (minutes), "24h", "7d"; nullopt unless from 1 minute to 30
// days.
std::optional<std::chrono::minutes> parseDuration(std::string text)
{
  unsigned long long perUnit = 1;
  if (!text.empty() && !std::isdigit(static_cast<unsigned char>(text.back()))) {
    const char unit = text.back();
    perUnit = unit == 'm' ? 1 : unit == 'h' ? 60 : unit == 'd' ? 24 * 60 : 0;
    text.pop_back();
  }
  const unsigned long long most = 30 * 24 * 60;
  unsigned long long n = 0;
  if (perUnit == 0 || !tools::parseNumber(text.c_str(), most, n) || n == 0 || n * perUnit > most)
    return std::nullopt;
  return std::chrono::minutes(n * perUnit);
}

// The operator options' values, once read; the exit status of a usage
// error.
std::optional<int> checkOperators(const tools::CommandLine &options,
                                  const std::optional<std::string> &header,
                                  const std::optional<std::string> &local,
                                  const std::string &maxShelve,
                                  Settings &s)
{
  if (header && !isHeaderName(*header))
    return options.usageError("--operator-header needs a header name, not \"" + *header + "\"");
  if (!header && !s.operators.trustedProxies.empty())
    return options.usageError("--trusted-proxy needs --operator-header");
  for (const std::string &proxy : s.operators.trustedProxies)
    if (!isIpAddress(proxy))
      return options.usageError("--trusted-proxy needs an IP address, not \"" + proxy + "\"");
  s.operators.header = header;
  if (local) {
    s.operators.localOperator = operatorName(*local);
    if (!s.operators.localOperator)
      return options.usageError("--local-operator needs a name of 1 to 128 printable bytes");
  }
  const std::optional<std::chrono::minutes> shelve = parseDuration(maxShelve);
  if (!shelve)
    return options.usageError("--max-shelve needs a duration from 1m to 30d (\"90m\", \"24h\"), not \"" +
                              maxShelve + "\"");
  s.maxShelve = *shelve;
  return std::nullopt;
}

bool isHttpUrl(const std::string &url)
{
  const std::size_t scheme = url.rfind("http://", 0) == 0 ? 7 : url.rfind("https://", 0) == 0 ? 8 : 0;
  return scheme != 0 && url.size() > scheme && url[scheme] != '/' &&
         std::none_of(url.begin(), url.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
}

std::string hostName()
{
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0 || !name[0])
    return "localhost";
  return name;
}

// The alerting options' values, once read; the exit status of a usage
// error.
std::optional<int> checkAlerts(const tools::CommandLine &options,
                               const std::string &escalateAfter,
                               unsigned long interval,
                               Settings &s)
{
  AlertSettings &a = s.alerts;
  for (std::string &url : a.urls) {
    if (!isHttpUrl(url))
      return options.usageError("--alertmanager needs an http:// or https:// URL, not \"" + url + "\"");
    while (url.back() == '/')
      url.pop_back();
  }
  if (!a.externalUrl.empty() && !isHttpUrl(a.externalUrl))
    return options.usageError("--external-url needs an http:// or https:// URL, not \"" + a.externalUrl +
                              "\"");
  const std::optional<std::chrono::minutes> escalate = parseDuration(escalateAfter);
  if (!escalate)
    return options.usageError("--escalate-after needs a duration from 1m to 30d (\"15m\", \"1h\"), not \"" +
                              escalateAfter + "\"");
  a.escalateAfter = static_cast<double>(escalate->count()) * 60.0;
  a.interval = static_cast<double>(interval);
  if (a.instrument.empty())
    a.instrument = hostName();
  return std::nullopt;
}

// The command line without its ORB options. The exit status when the
// program is done already (--help, a bad command line).
std::optional<int> parseCommandLine(int argc, char **argv, Settings &s)
{
  tools::CommandLine options(program, usageText);
  options.fileName("archive", s.archivePath);
  options.text("listen", "ADDR:PORT", s.listen);
  options.number("keep-days", "days", 1, 100000, s.keepDays);
  options.fileName("config", s.configPath);
  options.number("max-per-address", "", 1, 100000, s.maxPerAddress);
  std::string header, local, maxShelve = "24h";
  bool headerGiven = false, localGiven = false;
  options.text("operator-header", "a header name", header, &headerGiven);
  options.texts("trusted-proxy", "an IP address", s.operators.trustedProxies);
  options.text("local-operator", "a name", local, &localGiven);
  options.text("max-shelve", "a duration", maxShelve);
  std::string escalateAfter = "15m";
  unsigned long alertInterval = 30;
  options.texts("alertmanager", "a URL", s.alerts.urls);
  options.text("external-url", "a URL", s.alerts.externalUrl);
  options.text("instrument", "a name", s.alerts.instrument);
  options.text("escalate-after", "a duration", escalateAfter);
  options.number("alert-interval", "seconds", 1, 3600, alertInterval);
  std::optional<int> done = options.parse(argc, argv);
  if (!done && !parseListen(s.listen, s.host, s.port))
    done = options.usageError("--listen needs ADDR:PORT, not \"" + s.listen + "\"");
  if (!done)
    done = checkOperators(options,
                          headerGiven ? std::optional<std::string>(header) : std::nullopt,
                          localGiven ? std::optional<std::string>(local) : std::nullopt,
                          maxShelve,
                          s);
  if (!done)
    done = checkAlerts(options, escalateAfter, alertInterval, s);
  return done;
}

// The limits of the --config file (none without one). false when the
// file cannot be read; a malformed entry is reported and ignored.
bool readLimits(const std::string &configPath, std::optional<LimitsSet> &limits)
{
  if (configPath.empty())
    return true;
  limits.emplace();
  std::string why;
  const auto malformed = [&configPath](const std::string &text) { report(configPath + ": " + text); };
  if (!readLimitsConfig(configPath, *limits, why, malformed)) {
    report("cannot read the configuration \"" + configPath + "\": " + why);
    return false;
  }
  return true;
}

// false when no naming service is given. One that cannot be reached yet
// is fine: the subscription keeps trying.
bool namingServiceGiven(CORBA::ORB_ptr orb)
{
  try {
    CosNaming::NamingContextExt_var naming = orb::rootContext(orb);
  } catch (const CORBA::ORB::InvalidName &) {
    tools::reportNoNamingService(program);
    return false;
  } catch (const CORBA::Exception &) {
  }
  return true;
}

// The archive, or null when it is refused or cannot be made (reported).
std::unique_ptr<archive::Archive> openArchive(const std::string &path)
{
  try {
    return std::make_unique<archive::Archive>(path);
  } catch (const archive::Error &e) {
    report(e.what()); // names the archive and what is wrong with it
  } catch (const std::exception &e) {
    report("cannot open the archive \"" + path + "\": " + e.what());
  }
  return nullptr;
}

// The last record of each housing, as the archive has it.
void seed(const archive::Archive &archive, LiveState &live, Metrics &metrics)
{
  for (int h = 0; h < archive::housingCount; ++h) {
    try {
      if (auto r = archive.latest(h)) {
        live.update(*r);
        metrics.reading(*r);
      }
    } catch (const std::exception &e) {
      report(std::string("cannot read the last records from the archive: ") + e.what());
    }
  }
}

// Every HTTP connection holds a descriptor: the soft limit goes up to the
// hard one, and the server admits what fits under it.
unsigned raiseDescriptorLimit()
{
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? 1u << 20
                                         : static_cast<unsigned>(std::min<rlim_t>(limit.rlim_cur, 1u << 20));
}

} // namespace

int runWeb(int argc, char **argv)
{
  // A client that goes away mid-reply must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor a file size limit (ulimit -f): the archive's writes then fail as
  // on a full disk, and are reported and retried as such.
  std::signal(SIGXFSZ, SIG_IGN);
  std::mutex stopMutex;
  std::condition_variable stopChanged;
  bool stopRequested = false;
  orb::SignalWaiter signals([&](int) {
    std::lock_guard<std::mutex> lock(stopMutex);
    stopRequested = true;
    stopChanged.notify_all();
  });

  CORBA::ORB_ptr initialised = tools::initOrb(argc, argv, program);
  if (CORBA::is_nil(initialised))
    return 2;
  OrbGuard orb(initialised);

  Settings settings;
  if (std::optional<int> done = parseCommandLine(argc, argv, settings))
    return *done;
  // A dead or stalled notifier must be noticed well within the 15 s in
  // which records are to flow again.
  if (!tmx::orb::callTimeoutConfigured())
    omniORB::setClientCallTimeout(5000);

  std::optional<LimitsSet> limits;
  if (!readLimits(settings.configPath, limits) || !namingServiceGiven(orb.get()))
    return 1;
  const std::unique_ptr<archive::Archive> archive = openArchive(settings.archivePath);
  if (!archive)
    return 1;

  const Clock &clock = systemClock();
  LiveState live(clock);
  if (limits)
    live.setLimits(*limits);
  Metrics metrics;
  EventHub hub;
  seed(*archive, live, metrics);
  std::unique_ptr<AlarmState> alarms;
  try {
    alarms =
      std::make_unique<AlarmState>(*archive, hub, report, static_cast<int>(settings.maxShelve.count()));
  } catch (const std::exception &e) {
    report(std::string("cannot read the alarms from the archive: ") + e.what());
    return 1;
  }
  if (limits)
    alarms->setLimits(*limits);
  const double started = unixSeconds(clock.wall());

  ArchiveStore store(*archive);
  Ingest::Options ingestOptions;
  if (settings.keepDays)
    ingestOptions.keepSeconds = static_cast<double>(settings.keepDays) * 86400.0;
  Ingest ingest(store, clock, report, ingestOptions);
  ingest.onWritten([&metrics](const archive::WriteCounts &c) { metrics.written(c); });

  NotifierConnector connector(orb.get(), report);
  Subscription subscription(connector, clock, report);
  subscription.onChange([&hub](const LinkStatus &s) { hub.publish("state", serviceJson(s)); });

  WebApi api(ApiSources{ *archive,
                         live,
                         hub,
                         metrics,
                         [&subscription] { return subscription.status(); },
                         [&ingest] { return ingest.dropped(); },
                         alarms.get() });
  AlarmApi alarmApi(*alarms, settings.operators, [&clock] { return unixSeconds(clock.wall()); });
  HttpOptions httpOptions;
  httpOptions.maxPerAddress = static_cast<unsigned>(settings.maxPerAddress);
  // Descriptors besides the connections: the archive, the ORB, the streams.
  const unsigned descriptors = raiseDescriptorLimit();
  httpOptions.maxConnections =
    std::min(httpOptions.maxConnections, descriptors > 256 ? descriptors - 128 : 128);
  HttpServer http(webRoutes(api, settings.operators, &alarmApi), httpOptions);
  std::string why;
  if (!http.bind(settings.host, settings.port, why)) {
    report("cannot listen on " + settings.listen + ": " + why);
    return 1;
  }

  // Alerts: posted from a thread of their own, poked by every change.
  const std::string &host = settings.host;
  const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  const std::string served = "http://" + shownHost + ":" + std::to_string(http.port()) + "/";
  std::unique_ptr<CurlSender> sender;
  std::unique_ptr<AlertClient> alertClient;
  std::unique_ptr<AlertLoop> alertLoop;
  if (!settings.alerts.urls.empty()) {
    if (settings.alerts.externalUrl.empty())
      settings.alerts.externalUrl = served;
    metrics.alertmanagers(settings.alerts.urls);
    sender = std::make_unique<CurlSender>();
    alertClient = std::make_unique<AlertClient>(
      settings.alerts, *sender, report, [&metrics](const std::string &url, bool ok) {
        metrics.alertExchange(url, ok);
      });
    alertLoop = std::make_unique<AlertLoop>(
      *alertClient, [&alarms] { return alarms->list(true, 0, 0, AlarmBook::maxEpisodes); }, clock);
    alarms->onChange([loop = alertLoop.get()] { loop->poke(); });
  }

  RecordCheck check(report);
  auto *servant =
    new WebConsumer(Sinks{ subscription, live, metrics, hub, ingest, clock, check, alarms.get() });
  PortableServer::ServantBase_var holder = servant;
  try {
    CORBA::Object_var obj = tools::activateServant(orb.get(), servant);
    Event_Comm::Consumer_var self = Event_Comm::Consumer::_narrow(obj.in());
    connector.setSelf(self.in());
  } catch (const CORBA::Exception &e) {
    report("ORB set-up failed: " + orb::describe(e));
    return 1;
  }

  ingest.start();
  if (!http.start(&why)) {
    report("cannot serve on " + settings.listen + ": " + why);
    ingest.stop();
    return 1;
  }
  subscription.start();
  if (alertLoop)
    alertLoop->start();
  std::printf("%s: serving %s\n", program, served.c_str());
  std::fflush(stdout);

  // The alarms' own tick (shelvings that expire, a silent monitor, the
  // link) runs here, once a second, until a signal comes.
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(stopMutex);
      if (stopChanged.wait_for(lock, std::chrono::seconds(1), [&] { return stopRequested; }))
        break;
    }
    alarms->tick(unixSeconds(clock.wall()), subscription.status(), started);
  }

  // Unsubscribe, end the streams and the server, let the ORB finish the
  // pushes in progress, then write what is queued.
  subscription.stop();
  hub.close();
  http.stop();
  const bool orbDestroyed = orb.destroy();
  if (alertLoop)
    alertLoop->stop();
  const std::size_t lost = ingest.stop(); // reported by the ingest
  return orbDestroyed && lost == 0 ? 0 : 1;
}

} // namespace tmx::web
