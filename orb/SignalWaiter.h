// Delivers signals (SIGINT, SIGTERM) to a callback on an ordinary thread
// that waits for them with sigwait, never inside a signal handler, so the
// callback may lock, log and make CORBA calls.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <pthread.h>
#include <thread>
#include <vector>

namespace tmx::orb {

// Blocks the signals in the calling thread; threads it creates afterwards
// inherit the mask.
void blockSignals(std::initializer_list<int> signals);

class SignalWaiter
{
public:
  // Blocks the signals in the constructing thread (construct it before
  // other threads start where possible: they inherit the mask) and starts
  // the waiting thread. Each signal taken runs onSignal(signum) on that
  // thread, one at a time, until destruction. A thread started earlier may
  // still take one of the signals: a handler then passes it on to the
  // waiting thread and does nothing else. One waiter per signal at a time:
  // a later one for the same signal takes it over.
  explicit SignalWaiter(std::function<void(int)> onSignal, std::vector<int> signals = { SIGINT, SIGTERM });
  // Ends the waiting thread (after a callback in progress) and restores the
  // signals' previous handlers; the constructing thread keeps them blocked.
  ~SignalWaiter();
  SignalWaiter(const SignalWaiter &) = delete;
  SignalWaiter &operator=(const SignalWaiter &) = delete;

  // The first signal taken, 0 if none.
  int received() const { return received_.load(); }

private:
  void wait();

  std::function<void(int)> onSignal_;
  std::vector<int> signals_;
  std::vector<struct sigaction> previous_;
  std::atomic<int> received_{ 0 };
  std::atomic<bool> stopping_{ false };
  std::thread thread_;
};

} // namespace tmx::orb
