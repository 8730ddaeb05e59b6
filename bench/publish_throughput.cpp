// publish_throughput [N [ROUNDS]]: the cost of publishing through the monitor's
// supplier against a private omniNames and tmx-notifier with no consumers.
//   1. N values through Supplier::send_event, timed until the event
//      supplier thread has pushed the last one;
//   2. N plain two-way pushes of the same event from one thread;
//   (1 and 2 alternate for ROUNDS rounds, default 3; medians are compared)
//   3. N send_event calls while the notifier is stalled (SIGSTOP), each
//      timed on its own.
// Goals: rate 1 / rate 2 >= 0.9; in 3, median < 2 us and maximum < 1 ms.
#include "corba/supplier.h"
#include "tests/support/TestSupport.h"

#include <TMX.hh>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Thread_Manager.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {
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

// Waits until the supplier thread has pushed `target` values in all.
bool waitPushed(Event_Supplier &supplier, std::uint64_t target, std::chrono::seconds limit)
{
  const auto deadline = Clock::now() + limit;
  while (supplier.pushed_count() < target) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
} // namespace

int main(int argc, char *argv[])
{
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (n <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: publish_throughput [N > 0 [ROUNDS > 0]]\n");
    return 2;
  }
  // The supplier's debug records would dominate the timing.
  ACE_LOG_MSG->priority_mask(LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY, ACE_Log_Msg::PROCESS);

  tmx::test::CorbaEnv env;
  tmx::test::ChildProcess &notifierProcess = env.startNotifier();

  ACE_Thread_Manager threads;
  NoElapsed app;
  int result = 0;
  {
    Supplier supplier(&threads, &app);
    std::vector<std::string> args{ "publish_throughput" };
    for (const auto &a : env.orbArgs())
      args.push_back(a);
    std::vector<char *> argvs;
    for (auto &a : args)
      argvs.push_back(a.data());
    argvs.push_back(nullptr);
    if (supplier.init(static_cast<int>(args.size()), argvs.data()) != 0 || supplier.start() != 0) {
      std::fprintf(stderr, "publish_throughput: supplier did not start\n");
      return 1;
    }
    Event_Supplier &events = supplier.event_supplier();

    TMX::HousekeepingData record;
    record.id = SPECTROGRAPH_HOUSING;
    record.temp = 18.25;
    record.rh = 41.0;
    record.wateralarm = false;
    record.readingTime = 1700000000;
    CORBA::Any value;
    value <<= record;

    // The same notifier, reached directly.
    CORBA::Object_var ns = supplier.orb_manager().orb()->resolve_initial_references("NameService");
    CosNaming::NamingContext_var naming = CosNaming::NamingContext::_narrow(ns.in());
    CORBA::Object_var found = naming->resolve(tmx::test::TestOrb::name("Notifier"));
    Event_Comm::Notifier_var notifier = Event_Comm::Notifier::_narrow(found.in());
    Event_Comm::Event event;
    event.tag_ = CORBA::string_dup("TMX");
    event.value_ = value;
    event.object_ref_ = CORBA::Object::_nil();

    // Warm-up: connections, first-use allocations.
    for (int i = 0; i < 500; ++i)
      notifier->push(event);
    for (int i = 0; i < 500; ++i)
      supplier.send_event(value);
    waitPushed(events, 500, std::chrono::seconds(60));

    // 1 and 2, alternating over several rounds (the median of each is
    // reported), so that a burst of load elsewhere on the machine does not
    // decide the ratio.
    std::uint64_t pushedSoFar = 500;
    std::vector<double> supplierRates, plainRates;
    double queueingSeconds = 0;
    for (int round = 0; round < rounds; ++round) {
      const auto startQueued = Clock::now();
      for (long i = 0; i < n; ++i)
        supplier.send_event(value);
      queueingSeconds = std::max(queueingSeconds, seconds(Clock::now() - startQueued));
      pushedSoFar += static_cast<std::uint64_t>(n);
      if (!waitPushed(events, pushedSoFar, std::chrono::seconds(300))) {
        std::fprintf(stderr, "publish_throughput: pushes did not complete\n");
        return 1;
      }
      supplierRates.push_back(n / seconds(Clock::now() - startQueued));

      const auto startPlain = Clock::now();
      for (long i = 0; i < n; ++i)
        notifier->push(event);
      plainRates.push_back(n / seconds(Clock::now() - startPlain));
    }
    const double supplierRate = median(supplierRates);
    const double plainRate = median(plainRates);
    const double supplierBest = *std::max_element(supplierRates.begin(), supplierRates.end());
    const double plainBest = *std::max_element(plainRates.begin(), plainRates.end());

    // 3. send_event while the notifier service is stopped.
    notifierProcess.signal(SIGSTOP);
    // Let the supplier thread block in a push first.
    supplier.send_event(value);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<double> perCall(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i) {
      const auto t0 = Clock::now();
      supplier.send_event(value);
      perCall[static_cast<std::size_t>(i)] =
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    notifierProcess.signal(SIGCONT);
    pushedSoFar += static_cast<std::uint64_t>(n) + 1;
    const bool drained = waitPushed(events, pushedSoFar, std::chrono::seconds(300));
    std::vector<double> sorted = perCall;
    std::sort(sorted.begin(), sorted.end());
    const double middle = sorted[sorted.size() / 2];
    const double p99 = sorted[sorted.size() * 99 / 100];
    const double maximum = sorted.back();

    std::printf("publish_throughput: N = %ld, %d rounds, notifier with no consumers\n", n, rounds);
    std::printf("  send_event until pushed: %10.0f events/s (median; rounds:", supplierRate);
    for (double r : supplierRates)
      std::printf(" %.0f", r);
    std::printf("; queueing N values at most %.3f s)\n", queueingSeconds);
    std::printf("  plain two-way push:      %10.0f events/s (median; rounds:", plainRate);
    for (double r : plainRates)
      std::printf(" %.0f", r);
    std::printf(")\n");
    std::printf("  ratio of medians:        %10.3f (goal >= 0.9)\n", supplierRate / plainRate);
    // The fastest round of each is the one least disturbed by other load.
    std::printf("  ratio of best rounds:    %10.3f (%.0f / %.0f events/s)\n",
                supplierBest / plainBest,
                supplierBest,
                plainBest);
    std::printf("  send_event, notifier stalled: median %.3f us, 99%% %.3f us, max %.1f us "
                "(goal: median < 2 us, max < 1000 us)\n",
                middle,
                p99,
                maximum);
    std::printf("  after SIGCONT every value was pushed: %s\n", drained ? "yes" : "NO");
    std::printf("  push failures during the run: %llu\n",
                static_cast<unsigned long long>(events.failed_push_count()));
    result = drained ? 0 : 1;

    supplier.shutdown();
    ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(30);
    threads.wait(&deadline);
  }
  return result;
}
