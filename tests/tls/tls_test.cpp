// The programs over TLS with mutual authentication, on loopback, with
// certificates that scripts/make-certs.sh makes in a fresh directory: the
// whole chain, the clients the notifier refuses, a name rebound to a
// plain-TCP notifier, pushes limited by --push-allow, and the start-up
// failures of a bad certificate set-up.
#include "tests/support/TestSupport.h"
#include "tests/web/WebProcess.h"

#include <Event_Comm.hh>
// This process's ORB takes the TLS options too.
#include <omniORB4/sslContext.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace tmx::test;

namespace {

// A site authority and certificates for each program plus the test ones
// (expired, foreign, plain-key), made once per test process.
class Certificates
{
public:
  Certificates()
  {
    RunResult r =
      run({ "bash", std::string(TMX_SOURCE_DIR) + "/scripts/make-certs.sh", "--test-certs", dir_.path() },
          milliseconds(60000));
    if (!r.status.ok())
      throw std::runtime_error("make-certs.sh failed: " + r.err);
  }
  std::string file(const std::string &name) const { return dir_.file(name); }
  std::string pem(const std::string &cn) const { return file(cn + ".pem"); }
  static const char *password() { return "tmx-site"; }

private:
  TempDir dir_{ "tmx-tls" };
};

const Certificates &certs()
{
  static Certificates c;
  return c;
}

// The naming service (plain TCP) and the TLS options of one certificate,
// with a TLS endpoint on loopback.
std::vector<std::string> tlsArgs(const NamingService &naming, const std::string &cn)
{
  return { "-ORBInitRef",        "NameService=" + naming.corbaloc(),
           "-ORBsslCAFile",      certs().file("ca.pem"),
           "-ORBsslKeyFile",     certs().pem(cn),
           "-ORBsslKeyPassword", Certificates::password(),
           "-ORBendPoint",       "giop:ssl:127.0.0.1:" };
}

// A notifier over TLS with its certificate, bound as "Notifier".
std::unique_ptr<ChildProcess> startTlsNotifier(NamingService &naming,
                                               const std::vector<std::string> &extra = {})
{
  auto n =
    std::make_unique<ChildProcess>(programArgs("tmx-notifier", tlsArgs(naming, "tmx-notifier"), extra));
  if (!n->waitForOut("tmx-notifier: bound as Notifier"))
    throw std::runtime_error("tmx-notifier over TLS did not start: " + n->err());
  return n;
}

Event_Comm::Event textEvent(const char *tag)
{
  Event_Comm::Event e;
  e.tag_ = tag;
  e.object_ref_ = CORBA::Object::_nil();
  return e;
}

} // namespace

TEST(Tls, MonitorPublishesToWatchAndStatusReadsTheSystemOverTls)
{
  NamingService naming;
  auto notifier = startTlsNotifier(naming, { "--push-allow", "tmx" });
  ChildProcess watch(
    programArgs("tmx-watch", tlsArgs(naming, "tmx-watch"), { "--count", "1", "--timeout", "30" }));
  ASSERT_TRUE(notifier->waitForErr("subscribed")) << notifier->err();
  TempDir webDir("tmx-tls-web");
  WebProcess web(tlsArgs(naming, "tmx-web"), webDir.file("history.sqlite"));
  ASSERT_TRUE(web.process->waitForErr("subscribed to the notifier")) << web.process->err();

  TempDir runDir("tmx-tls-run");
  writeMonitorFiles(runDir);
  auto monitor = startMonitor(runDir, tlsArgs(naming, "tmx"), true);
  ExitStatus w = watch.wait(milliseconds(40000));
  EXPECT_TRUE(w.ok()) << w.describe() << watch.err();
  EXPECT_FALSE(watch.out().empty());

  ASSERT_TRUE(naming.waitBound("TMXSYSTEM", true, milliseconds(20000)));
  RunResult status = run(programArgs("tmx-status", tlsArgs(naming, "tmx-status")));
  EXPECT_TRUE(status.status.ok()) << status.err;
  EXPECT_NE(std::string::npos, status.out.find("elapsedTime: ")) << status.out;
  EXPECT_TRUE(eventually([&] { return web.get("/api/current")["housings"][0]["readingTime"].is_number(); },
                         milliseconds(20000)))
    << web.process->err();
  EXPECT_EQ(std::string::npos, notifier->err().find("push refused")) << notifier->err();
}

// Each client the notifier must turn away, in a process of its own (one
// in-process ORB per test): its ORB options besides the naming service.
struct RefusedClient
{
  const char *name;
  std::vector<std::string> (*args)();
};

std::vector<std::string> noCertificate()
{
  return { "-ORBsslCAFile", certs().file("ca.pem") };
}
std::vector<std::string> certificateOf(const std::string &cn)
{
  return { "-ORBsslCAFile", certs().file("ca.pem"), "-ORBsslKeyFile",
           certs().pem(cn), "-ORBsslKeyPassword",   Certificates::password() };
}
std::vector<std::string> otherAuthority()
{
  return certificateOf("foreign");
}
std::vector<std::string> expired()
{
  return certificateOf("expired");
}
std::vector<std::string> plainTcp()
{
  return {};
}

void PrintTo(const RefusedClient &c, std::ostream *os)
{
  *os << c.name;
}

class TlsRefused : public ::testing::TestWithParam<RefusedClient>
{};

TEST_P(TlsRefused, ClientGetsNoCallThrough)
{
  NamingService naming;
  auto notifier = startTlsNotifier(naming);
  // Its own objects (none here) stay on loopback.
  std::vector<std::string> args = {
    "-ORBInitRef", "NameService=" + naming.corbaloc(), "-ORBendPoint", "giop:tcp:127.0.0.1:"
  };
  for (const std::string &a : GetParam().args())
    args.push_back(a);
  TestOrb orb(args);
  CORBA::Object_var obj = orb.resolve("Notifier");
  ASSERT_FALSE(CORBA::is_nil(obj));
  Event_Comm::Notifier_var n = Event_Comm::Notifier::_unchecked_narrow(obj);
  EXPECT_THROW(n->push(textEvent("intruder")), CORBA::SystemException);
  EXPECT_TRUE(notifier->running());
}

INSTANTIATE_TEST_SUITE_P(Clients,
                         TlsRefused,
                         ::testing::Values(RefusedClient{ "NoCertificate", noCertificate },
                                           RefusedClient{ "OtherAuthority", otherAuthority },
                                           RefusedClient{ "Expired", expired },
                                           RefusedClient{ "PlainTcp", plainTcp }),
                         [](const ::testing::TestParamInfo<RefusedClient> &i) { return i.param.name; });

TEST(Tls, PlainGiopToTheTlsEndpointGetsNoAnswer)
{
  NamingService naming;
  const int port = freeLoopbackPort();
  std::vector<std::string> args = tlsArgs(naming, "tmx-notifier");
  args.back() = "giop:ssl:127.0.0.1:" + std::to_string(port);
  ChildProcess notifier(programArgs("tmx-notifier", args));
  ASSERT_TRUE(notifier.waitForOut("tmx-notifier: bound as Notifier")) << notifier.err();
  TestOrb orb({ "-ORBendPoint", "giop:tcp:127.0.0.1:" });
  CORBA::Object_var obj =
    orb.orb()->string_to_object(("corbaloc::127.0.0.1:" + std::to_string(port) + "/Notifier").c_str());
  // A TLS server answers no GIOP request made in plain text, not even to
  // say that there is no such object.
  EXPECT_THROW(obj->_non_existent(), CORBA::SystemException);
}

TEST(Tls, PushNeedsAnAllowedCertificateName)
{
  NamingService naming;
  auto notifier = startTlsNotifier(naming, { "--push-allow", "tmx", "--push-allow", "tmx-web" });
  TestOrb orb(tlsArgs(naming, "tmx-watch"));
  Event_Comm::Notifier_var n = Event_Comm::Notifier::_narrow(CORBA::Object_var(orb.resolve("Notifier")));
  ASSERT_FALSE(CORBA::is_nil(n));
  EXPECT_THROW(n->push(textEvent("injected")), CORBA::NO_PERMISSION);
  EXPECT_TRUE(notifier->waitForErr("tmx-notifier: push refused from \"tmx-watch\" (giop:ssl:127.0.0.1:"))
    << notifier->err();
}

TEST(Tls, RebindingTheNotifierToAPlainServerLeadsNowhere)
{
  NamingService naming;
  // An intruder's notifier without TLS takes the name.
  ChildProcess rogue(programArgs("tmx-notifier", naming.orbArgs()));
  ASSERT_TRUE(rogue.waitForOut("tmx-notifier: bound as Notifier")) << rogue.err();
  RunResult w = run(programArgs("tmx-watch", tlsArgs(naming, "tmx-watch"), { "--timeout", "5" }));
  EXPECT_EQ(1, w.status.code) << w.status.describe() << w.err;
  EXPECT_NE(std::string::npos, w.err.find("tmx-watch: TLS: no plain connection to giop:tcp:127.0.0.1:"))
    << w.err;
  EXPECT_EQ(std::string::npos, rogue.err().find("subscribed")) << rogue.err();
}

// ------------------------------------------------------------ start-up

// A key file of one certificate with another certificate's key.
std::string mismatchedPem(const TempDir &dir)
{
  const std::string a = readFile(certs().pem("tmx-watch")), b = readFile(certs().pem("tmx-status"));
  const std::string endCert = "-----END CERTIFICATE-----\n";
  return dir.write("mismatched.pem",
                   a.substr(0, a.find(endCert) + endCert.size()) +
                     b.substr(b.find(endCert) + endCert.size()));
}

TEST(Tls, BadCertificateSetUpFailsAtStartWithOneLine)
{
  NamingService naming;
  TempDir dir("tmx-tls-bad");
  const std::string mismatched = mismatchedPem(dir);
  const std::string garbage = dir.write("garbage.pem", "not a certificate\n");
  const std::string ca = certs().file("ca.pem"), watchPem = certs().pem("tmx-watch");
  struct Case
  {
    std::vector<std::string> args;
    std::string line; // the whole of standard error after "tmx-watch: TLS: "
  };
  const std::string pw = Certificates::password();
  const std::vector<Case> cases = {
    { { "-ORBsslCAFile", dir.file("missing.pem"), "-ORBsslKeyFile", watchPem, "-ORBsslKeyPassword", pw },
      dir.file("missing.pem") + ": No such file or directory" },
    { { "-ORBsslCAFile", garbage, "-ORBsslKeyFile", watchPem, "-ORBsslKeyPassword", pw },
      garbage + ": no certificate in it (PEM)" },
    { { "-ORBsslCAFile", ca, "-ORBsslKeyFile", watchPem },
      watchPem + ": the key is encrypted and no key password is given (-ORBsslKeyPassword)" },
    { { "-ORBsslCAFile", ca, "-ORBsslKeyFile", watchPem, "-ORBsslKeyPassword", "wrong" },
      watchPem + ": wrong key password" },
    { { "-ORBsslCAFile", ca, "-ORBsslKeyFile", mismatched, "-ORBsslKeyPassword", pw },
      mismatched + ": the certificate does not match its private key" },
    { { "-ORBsslCAFile", ca, "-ORBsslKeyFile", certs().pem("expired"), "-ORBsslKeyPassword", pw },
      certs().pem("expired") + ": the certificate expired on Jan  2 00:00:00 2020 GMT" },
    { { "-ORBsslCAFile", ca, "-ORBsslKeyFile", certs().pem("foreign"), "-ORBsslKeyPassword", pw },
      certs().pem("foreign") +
        ": the certificate is not accepted by the certificate authority (unable to get local issuer "
        "certificate)" },
    { { "-ORBsslCAFile",
        ca,
        "-ORBsslKeyFile",
        watchPem,
        "-ORBsslKeyPassword",
        pw,
        "-ORBendPoint",
        "giop:tcp:127.0.0.1:" },
      "endpoint giop:tcp:127.0.0.1: is not a TLS endpoint (giop:ssl:HOST:PORT): with TLS configured no "
      "object is offered over plain connections" },
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = { "-ORBInitRef", "NameService=" + naming.corbaloc() };
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run(programArgs("tmx-watch", args, { "--timeout", "5" }));
    EXPECT_EQ(2, r.status.code) << c.line << ": " << r.status.describe();
    EXPECT_EQ("tmx-watch: TLS: " + c.line + "\n", r.err);
  }

  // The same check holds for the monitor, whose start-up failure is 1.
  TempDir runDir("tmx-tls-run");
  writeMonitorFiles(runDir);
  auto monitor = startMonitor(runDir,
                              { "-ORBInitRef",
                                "NameService=" + naming.corbaloc(),
                                "-ORBsslCAFile",
                                ca,
                                "-ORBsslKeyFile",
                                certs().pem("expired"),
                                "-ORBsslKeyPassword",
                                pw },
                              true);
  ExitStatus m = monitor->wait(milliseconds(20000));
  EXPECT_EQ(1, m.code) << m.describe();
  EXPECT_NE(std::string::npos,
            monitor->err().find("tmx: TLS: " + certs().pem("expired") + ": the certificate expired on"))
    << monitor->err();

  // omniORB's configuration file is read the same way.
  const std::string cfg = dir.write(
    "omniORB.cfg", "sslCAFile = " + ca + "\nsslKeyFile = " + watchPem + "\nsslKeyPassword = wrong\n");
  RunResult fromFile = run(programArgs("tmx-status", { "-ORBInitRef", "NameService=" + naming.corbaloc() }),
                           defaultTimeout,
                           { "OMNIORB_CONFIG=" + cfg });
  EXPECT_EQ(2, fromFile.status.code) << fromFile.status.describe();
  EXPECT_EQ("tmx-status: TLS: " + watchPem + ": wrong key password\n", fromFile.err);

  // --push-allow means nothing without certificates.
  RunResult plain = run(programArgs("tmx-notifier", naming.orbArgs(), { "--push-allow", "tmx" }));
  EXPECT_EQ(2, plain.status.code) << plain.status.describe();
  EXPECT_NE(std::string::npos, plain.err.find("tmx-notifier: --push-allow needs TLS")) << plain.err;

  // And for the environment as a source of omniORB's options.
  RunResult fromEnv = run(programArgs("tmx-notifier", { "-ORBInitRef", "NameService=" + naming.corbaloc() }),
                          defaultTimeout,
                          { "ORBsslCAFile=" + ca, "ORBsslKeyFile=" + watchPem });
  EXPECT_EQ(2, fromEnv.status.code) << fromEnv.status.describe();
  EXPECT_EQ("tmx-notifier: TLS: " + watchPem +
              ": the key is encrypted and no key password is given (-ORBsslKeyPassword)\n",
            fromEnv.err);
}
