// publish_throughput [--tls] [N [ROUNDS]]: the cost of publishing through the
// monitor's supplier against a private omniNames and tmx-notifier with no
// consumers; with --tls both run over TLS with certificates that
// scripts/make-certs.sh makes in a temporary directory.
//   1. N values through Supplier::send_event, timed until the event
//      supplier thread has pushed the last one;
//   2. N plain two-way pushes of the same event from one thread;
//   (1 and 2 alternate in blocks of at most `block` values, each block of 1
//   fitting the supplier's queue, so that it drops nothing and a burst of
//   load elsewhere on the machine falls on both alike; ROUNDS rounds of N,
//   default 5, whose medians are compared)
//   3. min(N, queue limit) send_event calls while the notifier is stalled
//      (SIGSTOP), each timed on its own.
// Goals: rate 1 / rate 2 >= 0.9; in 3, median < 2 us and maximum < 1 ms.
// Every wait is bounded: when no value has been pushed for stall_limit the
// run says so and exits with status 1; a failed start or remote call also
// ends it with status 1.
#include "corba/supplier.h"
#include "tests/support/TestSupport.h"

#include <TMX.hh>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Thread_Manager.h>
#include <omniORB4/omniORB.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {
// Longer than one push may take (Event_Supplier::push_timeout_ms), so a
// slow push is not taken for pushes that stopped.
constexpr std::chrono::seconds stall_limit{ 15 };
// Values of path 1 between two turns of path 2.
constexpr long block = 1000;

class NoElapsed : public ElapsedTimeSource
{
public:
  std::int32_t elapsedTime() override { return 0; }
};

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double seconds(Clock::duration d)
{
  return std::chrono::duration<double>(d).count();
}

// When the supplier thread last found its queue empty, and how many values
// it had pushed by then: drained() is its idle hook, so the end of a
// drain is taken on that thread, not by polling.
class DrainClock
{
public:
  void drained(const Event_Supplier &events)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      at_ = Clock::now();
      pushed_ = events.pushed_count();
    }
    changed_.notify_all();
  }

  // Waits until the thread has pushed target values in all and then found
  // the queue empty; when is that moment. False (with a message) when no
  // value was pushed for stall_limit.
  bool wait(const Event_Supplier &events, std::uint64_t target, Clock::time_point &when)
  {
    std::uint64_t seen = events.pushed_count();
    auto progress = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return pushed_ >= target; })) {
      const std::uint64_t now = events.pushed_count();
      if (now != seen) {
        seen = now;
        progress = Clock::now();
      } else if (Clock::now() - progress > stall_limit) {
        std::fprintf(stderr,
                     "publish_throughput: no value pushed for %lld s (%llu of %llu pushed, %llu push "
                     "failures)\n",
                     static_cast<long long>(stall_limit.count()),
                     static_cast<unsigned long long>(seen),
                     static_cast<unsigned long long>(target),
                     static_cast<unsigned long long>(events.failed_push_count()));
        return false;
      }
    }
    when = at_;
    return true;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Clock::time_point at_;     // guarded by mutex_
  std::uint64_t pushed_ = 0; // guarded by mutex_
};

// Sends count values and waits until they are pushed, sent being the
// number sent so far; the time from the first send to the drain. False
// when the pushes stopped.
bool publish(Supplier &supplier,
             DrainClock &drains,
             const CORBA::Any &value,
             long count,
             std::uint64_t &sent,
             Clock::duration &took)
{
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i)
    supplier.send_event(value);
  sent += static_cast<std::uint64_t>(count);
  Clock::time_point drained;
  if (!drains.wait(supplier.event_supplier(), sent, drained))
    return false;
  took = drained - start;
  return true;
}

// The measurements against a started supplier; 0, or 1 when the pushes
// stopped. CORBA exceptions pass through.
int measure(Supplier &supplier,
            DrainClock &drains,
            tmx::test::ChildProcess &notifierProcess,
            long n,
            int rounds)
{
  Event_Supplier &events = supplier.event_supplier();
  const std::uint64_t room = events.queue_limit();

  TMX::HousekeepingData record;
  record.id = SPECTROGRAPH_HOUSING;
  record.temp = 18.25;
  record.rh = 41.0;
  record.wateralarm = false;
  record.readingTime = 1700000000;
  CORBA::Any value;
  value <<= record;

  // The same notifier, reached directly, with the supplier's bound on a call.
  CORBA::Object_var ns = supplier.orb_manager().orb()->resolve_initial_references("NameService");
  CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(ns.in());
  CORBA::Object_var found = naming->resolve(tmx::test::TestOrb::name("Notifier"));
  Event_Comm::Notifier_var notifier = Event_Comm::Notifier::_narrow(found.in());
  omniORB::setClientCallTimeout(notifier.in(), Event_Supplier::push_timeout_ms);
  Event_Comm::Event event;
  event.tag_ = CORBA::string_dup("TMX");
  event.value_ = value;
  event.object_ref_ = CORBA::Object::_nil();

  // Warm-up: connections, first-use allocations.
  std::uint64_t sent = 0;
  Clock::duration took{};
  for (int i = 0; i < 500; ++i)
    notifier->push(event);
  if (!publish(supplier, drains, value, 500, sent, took))
    return 1;

  // 1 and 2, alternating block by block over several rounds (the median of
  // each is reported).
  const long step = static_cast<long>(std::min<std::uint64_t>(block, room));
  std::vector<double> supplierRates, plainRates, roundRatios;
  for (int round = 0; round < rounds; ++round) {
    Clock::duration supplierTime{}, plainTime{};
    for (long done = 0; done < n; done += step) {
      const long count = std::min(step, n - done);
      if (!publish(supplier, drains, value, count, sent, took))
        return 1;
      supplierTime += took;

      const auto startPlain = Clock::now();
      for (long i = 0; i < count; ++i)
        notifier->push(event);
      plainTime += Clock::now() - startPlain;
    }
    supplierRates.push_back(n / seconds(supplierTime));
    plainRates.push_back(n / seconds(plainTime));
    roundRatios.push_back(seconds(plainTime) / seconds(supplierTime));
  }
  const double supplierRate = median(supplierRates);
  const double plainRate = median(plainRates);
  const double supplierBest = *std::max_element(supplierRates.begin(), supplierRates.end());
  const double plainBest = *std::max_element(plainRates.begin(), plainRates.end());

  // 3. send_event while the notifier service is stopped: as many values as
  // the queue holds behind the one the thread is stuck pushing.
  const long stalledCount = static_cast<long>(std::min<std::uint64_t>(static_cast<std::uint64_t>(n), room));
  notifierProcess.signal(SIGSTOP);
  // Let the supplier thread take a value and block in its push first.
  supplier.send_event(value);
  ++sent;
  const bool taken = tmx::test::eventually([&] { return events.queue_length() == 0; });
  std::vector<double> perCall(static_cast<std::size_t>(stalledCount));
  for (long i = 0; i < stalledCount; ++i) {
    const auto t0 = Clock::now();
    supplier.send_event(value);
    perCall[static_cast<std::size_t>(i)] =
      std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  }
  sent += static_cast<std::uint64_t>(stalledCount);
  notifierProcess.signal(SIGCONT);
  Clock::time_point drainedAt;
  const bool drained = taken && drains.wait(events, sent, drainedAt);
  std::vector<double> sorted = perCall;
  std::sort(sorted.begin(), sorted.end());
  const double middle = sorted[sorted.size() / 2];
  const double p99 = sorted[sorted.size() * 99 / 100];
  const double maximum = sorted.back();

  const double ratio = supplierRate / plainRate;
  std::printf("publish_throughput: N = %ld, %d rounds, blocks of %ld (queue limit %llu), notifier "
              "with no consumers\n",
              n,
              rounds,
              step,
              static_cast<unsigned long long>(room));
  std::printf("  send_event until pushed: %10.0f events/s (median; rounds:", supplierRate);
  for (double r : supplierRates)
    std::printf(" %.0f", r);
  std::printf(")\n");
  std::printf("  plain two-way push:      %10.0f events/s (median; rounds:", plainRate);
  for (double r : plainRates)
    std::printf(" %.0f", r);
  std::printf(")\n");
  std::printf(
    "  ratio of medians:        %10.3f (goal >= 0.9: %s)\n", ratio, ratio >= 0.9 ? "met" : "NOT met");
  // The fastest round of each is the one least disturbed by other load.
  std::printf("  ratio of best rounds:    %10.3f (%.0f / %.0f events/s)\n",
              supplierBest / plainBest,
              supplierBest,
              plainBest);
  // Both paths of a round took turns block by block: its ratio is the one
  // least skewed by load that comes and goes.
  std::printf("  ratio within a round:    %10.3f (median; rounds:", median(roundRatios));
  for (double r : roundRatios)
    std::printf(" %.3f", r);
  std::printf(")\n");
  std::printf("  send_event, notifier stalled (%ld calls): median %.3f us, 99%% %.3f us, max %.1f us "
              "(goal: median < 2 us, max < 1000 us)\n",
              stalledCount,
              middle,
              p99,
              maximum);
  std::printf("  after SIGCONT every value was pushed: %s\n", drained ? "yes" : "NO");
  std::printf("  push failures during the run: %llu\n",
              static_cast<unsigned long long>(events.failed_push_count()));
  return drained ? 0 : 1;
}
// The naming service and the notifier child, over plain TCP or over TLS,
// and the ORB options of the supplier.
struct Services
{
  std::unique_ptr<tmx::test::CorbaEnv> env;
  std::unique_ptr<tmx::test::TempDir> certs;
  std::unique_ptr<tmx::test::NamingService> naming;
  std::unique_ptr<tmx::test::ChildProcess> tlsNotifier;
  tmx::test::ChildProcess *notifier = nullptr;
  std::vector<std::string> supplierArgs;
};

Services startServices(bool tls)
{
  using namespace tmx::test;
  Services s;
  if (!tls) {
    s.env = std::make_unique<CorbaEnv>();
    s.notifier = &s.env->startNotifier();
    s.supplierArgs = s.env->orbArgs();
    return s;
  }
  s.certs = std::make_unique<TempDir>("tmx-bench-tls");
  RunResult made = run({ "bash", std::string(TMX_SOURCE_DIR) + "/scripts/make-certs.sh", s.certs->path() });
  if (!made.status.ok())
    throw std::runtime_error("make-certs.sh failed: " + made.err);
  s.naming = std::make_unique<NamingService>();
  auto tlsArgs = [&](const std::string &cn) {
    return std::vector<std::string>{ "-ORBInitRef",        "NameService=" + s.naming->corbaloc(),
                                     "-ORBsslCAFile",      s.certs->file("ca.pem"),
                                     "-ORBsslKeyFile",     s.certs->file(cn + ".pem"),
                                     "-ORBsslKeyPassword", "tmx-site",
                                     "-ORBendPoint",       "giop:ssl:127.0.0.1:" };
  };
  s.tlsNotifier = std::make_unique<ChildProcess>(
    programArgs("tmx-notifier", tlsArgs("tmx-notifier"), { "--push-allow", "tmx" }));
  if (!s.tlsNotifier->waitForOut("tmx-notifier: bound as Notifier"))
    throw std::runtime_error("tmx-notifier over TLS did not start: " + s.tlsNotifier->err());
  s.notifier = s.tlsNotifier.get();
  s.supplierArgs = tlsArgs("tmx");
  return s;
}

} // namespace

int main(int argc, char *argv[])
{
  const bool tls = argc > 1 && std::strcmp(argv[1], "--tls") == 0;
  if (tls) {
    --argc;
    ++argv;
  }
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (n <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: publish_throughput [--tls] [N > 0 [ROUNDS > 0]]\n");
    return 2;
  }
  // The supplier's debug records would dominate the timing.
  ACE_LOG_MSG->priority_mask(LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY, ACE_Log_Msg::PROCESS);

  try {
    Services services = startServices(tls);
    tmx::test::ChildProcess &notifierProcess = *services.notifier;
    std::printf("publish_throughput: over %s\n", tls ? "TLS" : "plain TCP");

    ACE_Thread_Manager threads;
    NoElapsed app;
    int result = 0;
    // Outlives the supplier, whose thread calls it.
    DrainClock drains;
    {
      Supplier supplier(&threads, &app);
      // Before the thread starts: the hook is read by it unlocked.
      Event_Supplier &events = supplier.event_supplier();
      events.set_idle_hook([&drains, supplierEvents = &events] { drains.drained(*supplierEvents); });
      std::vector<std::string> args{ "publish_throughput" };
      for (const auto &a : services.supplierArgs)
        args.push_back(a);
      std::vector<char *> argvs;
      for (auto &a : args)
        argvs.push_back(a.data());
      argvs.push_back(nullptr);
      if (supplier.init(static_cast<int>(args.size()), argvs.data()) != 0 || supplier.start() != 0) {
        std::fprintf(stderr, "publish_throughput: supplier did not start\n");
        return 1;
      }
      try {
        result = measure(supplier, drains, notifierProcess, n, rounds);
      } catch (const CORBA::Exception &ex) {
        std::fprintf(stderr, "publish_throughput: CORBA exception %s\n", ex._name());
        result = 1;
      }
      // A stopped notifier would hold up the shutdown's calls.
      notifierProcess.signal(SIGCONT);
      supplier.shutdown();
      ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(30);
      threads.wait(&deadline);
    }
    return result;
  } catch (const std::exception &ex) {
    std::fprintf(stderr, "publish_throughput: %s\n", ex.what());
    return 1;
  }
}
