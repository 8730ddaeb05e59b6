#include "corba/Signal_Relay.h"

#include "orb/SignalWaiter.h"

#include <ace/Reactor.h>

#include <cerrno>
#include <csignal>
#include <new>
#include <system_error>
#include <vector>

Signal_Relay::Signal_Relay()
  : ACE_Event_Handler(nullptr, 0)
{
}

Signal_Relay::~Signal_Relay()
{
  remove_handler();
}

int Signal_Relay::register_handler(ACE_Reactor *reactor, int signum, ACE_Event_Handler *target)
{
  if (reactor == nullptr || target == nullptr || signum <= 0 || signum >= NSIG || target_ != nullptr) {
    errno = EINVAL;
    return -1;
  }
  reactor_ = reactor;
  target_ = target;
  signum_ = signum;
  try {
    waiter_ = std::make_unique<tmx::orb::SignalWaiter>(
      [this](int) {
        // Bounded: a reactor whose loop does not run leaves the pipe
        // full only after thousands of signals, and then this one goes.
        ACE_Time_Value bound(1);
        reactor_->notify(this, ACE_Event_Handler::EXCEPT_MASK, &bound);
      },
      std::vector<int>{ signum });
  } catch (const std::system_error &e) {
    reactor_ = nullptr;
    target_ = nullptr;
    errno = e.code().value();
    return -1;
  } catch (const std::bad_alloc &) {
    reactor_ = nullptr;
    target_ = nullptr;
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

int Signal_Relay::remove_handler()
{
  if (target_ == nullptr)
    return -1;
  // After the waiter's thread is joined nothing notifies any more.
  waiter_.reset();
  reactor_->purge_pending_notifications(this);
  reactor_ = nullptr;
  target_ = nullptr;
  return 0;
}

int Signal_Relay::handle_exception(ACE_HANDLE)
{
  if (ACE_Event_Handler *target = target_.load())
    target->handle_signal(signum_, nullptr, nullptr);
  return 0;
}
