#include "corba/Signal_Relay.h"

#include <ace/Reactor.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {
// One pipe per process, created on first use and never closed: a signal
// handler may still be writing to it while a relay goes away, and a closed
// descriptor could by then name another file.
int pipeFds[2] = { -1, -1 };
std::once_flag pipeOnce;
int pipeError = 0;

// Signals that have a relay: the handler writes only for those.
std::atomic<bool> relayed[NSIG];

void makePipe()
{
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    pipeError = errno;
    pipeFds[0] = pipeFds[1] = -1;
  }
}

extern "C" void relaySignal(int signum)
{
  if (signum <= 0 || signum >= NSIG || !relayed[signum].load())
    return;
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signum);
  // A full pipe drops the signal; enough of the same are already pending.
  ssize_t ignored = ::write(pipeFds[1], &byte, 1);
  (void)ignored;
  errno = saved;
}
} // namespace

struct Signal_Relay::Saved
{
  struct sigaction action;
};

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
  std::call_once(pipeOnce, makePipe);
  if (pipeFds[0] < 0) {
    errno = pipeError;
    return -1;
  }
  reactor_ = reactor;
  target_ = target;
  signum_ = signum;
  if (reactor->register_handler(this, ACE_Event_Handler::READ_MASK) == -1) {
    reactor_ = nullptr;
    target_ = nullptr;
    return -1;
  }
  saved_ = new Saved;
  struct sigaction action = {};
  action.sa_handler = relaySignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  relayed[signum].store(true);
  if (::sigaction(signum, &action, &saved_->action) != 0) {
    const int error = errno;
    relayed[signum].store(false);
    delete saved_;
    saved_ = nullptr;
    reactor->remove_handler(this, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
    reactor_ = nullptr;
    target_ = nullptr;
    errno = error;
    return -1;
  }
  return 0;
}

int Signal_Relay::remove_handler()
{
  if (target_ == nullptr)
    return -1;
  relayed[signum_].store(false);
  ::sigaction(signum_, &saved_->action, nullptr);
  delete saved_;
  saved_ = nullptr;
  reactor_->remove_handler(this, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
  reactor_ = nullptr;
  target_ = nullptr;
  return 0;
}

int Signal_Relay::handle_input(ACE_HANDLE)
{
  unsigned char bytes[64];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], bytes, sizeof bytes);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return 0;
    for (ssize_t i = 0; i < n; ++i)
      if (target_ != nullptr && bytes[i] == signum_)
        target_->handle_signal(bytes[i], nullptr, nullptr);
  }
}

ACE_HANDLE Signal_Relay::get_handle() const
{
  return pipeFds[0];
}
