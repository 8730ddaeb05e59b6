#include "orb/SignalWaiter.h"

#include <cassert>
#include <cerrno>

namespace tmx::orb {

namespace {

// The waiting thread of each signal (0: none), and the number of handlers
// running, so that a waiter does not go while a handler may still name its
// thread. Lock-free atomics, safe in a signal handler.
std::atomic<pthread_t> waiterOf[NSIG];
std::atomic<int> handlersRunning{ 0 };
static_assert(std::atomic<pthread_t>::is_always_lock_free);

extern "C" void passOn(int signum)
{
  const int savedErrno = errno;
  handlersRunning.fetch_add(1);
  const pthread_t to = waiterOf[signum].load();
  if (to != pthread_t())
    pthread_kill(to, signum);
  handlersRunning.fetch_sub(1);
  errno = savedErrno;
}

sigset_t setOf(const std::vector<int> &signals)
{
  sigset_t set;
  sigemptyset(&set);
  for (int sig : signals)
    sigaddset(&set, sig);
  return set;
}

} // namespace

void blockSignals(std::initializer_list<int> signals)
{
  sigset_t set = setOf(signals);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWaiter::SignalWaiter(std::function<void(int)> onSignal, std::vector<int> signals)
  : onSignal_(std::move(onSignal))
  , signals_(std::move(signals))
  , previous_(signals_.size())
{
  assert(!signals_.empty());
  sigset_t set = setOf(signals_);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  thread_ = std::thread([this] { wait(); });
  struct sigaction action = {};
  action.sa_handler = passOn;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < signals_.size(); ++i) {
    waiterOf[signals_[i]].store(thread_.native_handle());
    sigaction(signals_[i], &action, &previous_[i]);
  }
}

SignalWaiter::~SignalWaiter()
{
  stopping_.store(true);
  for (std::size_t i = 0; i < signals_.size(); ++i) {
    sigaction(signals_[i], &previous_[i], nullptr);
    pthread_t self = thread_.native_handle();
    waiterOf[signals_[i]].compare_exchange_strong(self, pthread_t());
  }
  // A handler that read the thread before it was cleared has finished its
  // pthread_kill once none runs; none can read it any more.
  while (handlersRunning.load() != 0)
    std::this_thread::yield();
  // Wakes the sigwait; the signal is blocked in that thread, so only its
  // sigwait takes it. Harmless when a real signal came first.
  pthread_kill(thread_.native_handle(), signals_.front());
  thread_.join();
}

void SignalWaiter::wait()
{
  sigset_t set = setOf(signals_);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0)
      continue;
    if (stopping_.load())
      return;
    int none = 0;
    received_.compare_exchange_strong(none, sig);
    if (onSignal_)
      onSignal_(sig);
  }
}

} // namespace tmx::orb
