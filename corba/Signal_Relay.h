// Delivers a signal to an ACE_Event_Handler's handle_signal on the thread
// that runs a reactor's event loop, never inside the signal handler: the
// handler only writes the signal number into a pipe whose read end is
// registered with the reactor.
#pragma once

#include <ace/Event_Handler.h>

class ACE_Reactor;

class Signal_Relay : public ACE_Event_Handler
{
public:
  Signal_Relay();
  // Removes the registration, if any.
  ~Signal_Relay() override;
  Signal_Relay(const Signal_Relay &) = delete;
  Signal_Relay &operator=(const Signal_Relay &) = delete;

  // Installs the signal's handler and registers the relay with the reactor.
  // One relay per signal number is active in the process: a later
  // registration for the same signal takes it over. 0 or -1 (errno set).
  int register_handler(ACE_Reactor *reactor, int signum, ACE_Event_Handler *target);
  // Restores the signal's previous disposition and leaves the reactor.
  int remove_handler();

  int handle_input(ACE_HANDLE handle) override;
  ACE_HANDLE get_handle() const override;

private:
  ACE_Reactor *reactor_ = nullptr;
  ACE_Event_Handler *target_ = nullptr;
  int signum_ = 0;
  struct Saved;
  Saved *saved_ = nullptr;
};
