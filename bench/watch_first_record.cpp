// watch_first_record [RUNS]: how long tmx-watch takes from its start to its
// first record, over plain TCP and over TLS (certificates from
// scripts/make-certs.sh in a temporary directory), against a private
// omniNames and tmx-notifier that an in-process feeder pushes a record to
// every 2 ms. RUNS starts of tmx-watch --count 1 each (default 20); the
// median and the largest are printed. A start that takes longer than 20 s
// ends the run with status 1.
#include "tests/support/TestSupport.h"

#include <Event_Comm.hh>
#include <TMX.hh>
// The feeder's ORB takes the TLS options too.
#include <omniORB4/sslContext.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace tmx::test;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> tlsArgs(const TempDir &certs, const NamingService &naming, const std::string &cn)
{
  return { "-ORBInitRef",        "NameService=" + naming.corbaloc(),
           "-ORBsslCAFile",      certs.file("ca.pem"),
           "-ORBsslKeyFile",     certs.file(cn + ".pem"),
           "-ORBsslKeyPassword", "tmx-site",
           "-ORBendPoint",       "giop:ssl:127.0.0.1:" };
}

// Milliseconds from the start of each tmx-watch to its exit after one
// record; empty on a failure (reported).
std::vector<double> measure(bool tls, const TempDir &certs, int runs)
{
  NamingService naming;
  auto argsOf = [&](const std::string &cn) { return tls ? tlsArgs(certs, naming, cn) : naming.orbArgs(); };
  std::vector<std::string> notifierExtra;
  if (tls)
    notifierExtra = { "--push-allow", "tmx" };
  ChildProcess notifier(programArgs("tmx-notifier", argsOf("tmx-notifier"), notifierExtra));
  if (!notifier.waitForOut("tmx-notifier: bound as Notifier")) {
    std::fprintf(stderr, "watch_first_record: tmx-notifier did not start: %s\n", notifier.err().c_str());
    return {};
  }

  std::vector<double> times;
  {
    TestOrb orb(argsOf("tmx"));
    CORBA::Object_var obj = orb.resolve("Notifier");
    Event_Comm::Notifier_var target = Event_Comm::Notifier::_narrow(obj);
    Event_Comm::Event event;
    event.tag_ = "TMX";
    TMX::HousekeepingData hk{};
    hk.id = SPECTROGRAPH_HOUSING;
    event.value_ <<= hk;
    event.object_ref_ = CORBA::Object::_nil();
    target->push(event); // the connection is made before the timing starts

    std::atomic<bool> stop{ false };
    std::thread feeder([&] {
      while (!stop) {
        try {
          target->push(event);
        } catch (const CORBA::Exception &) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    for (int i = 0; i < runs; ++i) {
      const auto start = Clock::now();
      RunResult r =
        run(programArgs("tmx-watch", argsOf("tmx-watch"), { "--count", "1" }), milliseconds(20000));
      if (!r.status.ok()) {
        std::fprintf(
          stderr, "watch_first_record: tmx-watch: %s %s\n", r.status.describe().c_str(), r.err.c_str());
        times.clear();
        break;
      }
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    stop = true;
    feeder.join();
  }
  return times;
}

} // namespace

int main(int argc, char **argv)
{
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  if (runs <= 0) {
    std::fprintf(stderr, "usage: watch_first_record [RUNS > 0]\n");
    return 2;
  }
  try {
    TempDir certs("tmx-bench-tls");
    RunResult made = run({ "bash", std::string(TMX_SOURCE_DIR) + "/scripts/make-certs.sh", certs.path() });
    if (!made.status.ok()) {
      std::fprintf(stderr, "watch_first_record: make-certs.sh failed: %s\n", made.err.c_str());
      return 1;
    }
    for (bool tls : { false, true }) {
      std::vector<double> t = measure(tls, certs, runs);
      if (t.empty())
        return 1;
      std::sort(t.begin(), t.end());
      std::printf("watch_first_record over %-9s %d runs: median %.1f ms, max %.1f ms\n",
                  tls ? "TLS:" : "TCP:",
                  runs,
                  t[t.size() / 2],
                  t.back());
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "watch_first_record: %s\n", e.what());
    return 1;
  }
  return 0;
}
