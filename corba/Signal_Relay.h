// Delivers a signal to an ACE_Event_Handler's handle_signal on the thread
// that runs a reactor's event loop, never inside a signal handler: a
// tmx::orb::SignalWaiter takes the signal on its own thread and hands it to
// the reactor with notify.
#pragma once

#include <ace/Event_Handler.h>

#include <atomic>
#include <memory>

class ACE_Reactor;

namespace tmx::orb {
class SignalWaiter;
}

class Signal_Relay : public ACE_Event_Handler
{
public:
  Signal_Relay();
  // Removes the registration, if any.
  ~Signal_Relay() override;
  Signal_Relay(const Signal_Relay &) = delete;
  Signal_Relay &operator=(const Signal_Relay &) = delete;

  // Starts waiting for the signal (blocking it in the calling thread, see
  // tmx::orb::SignalWaiter). One relay per signal number is active in the
  // process: a later registration for the same signal takes it over. 0 or
  // -1 (errno set).
  int register_handler(ACE_Reactor *reactor, int signum, ACE_Event_Handler *target);
  // Stops waiting, restores the signal's previous handler and drops
  // notifications not yet dispatched. -1 when nothing was registered.
  int remove_handler();

  // The reactor's dispatch of a notification: target's handle_signal.
  int handle_exception(ACE_HANDLE) override;

private:
  ACE_Reactor *reactor_ = nullptr;
  std::atomic<ACE_Event_Handler *> target_{ nullptr };
  int signum_ = 0;
  std::unique_ptr<tmx::orb::SignalWaiter> waiter_;
};
