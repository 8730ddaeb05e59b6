#include "corba/InputHandler.h"

#include "alarms/Alarm.h"
#include "corba/print_exception.h"
#include "corba/supplier.h"
#include "framework/ErrorHandler.h"

#include <Event_Comm.hh>
#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

InputHandler::InputHandler(int fd)
  : ACE_Event_Handler(nullptr, 0)
  , shutdown_trigger_(0, "SHUTDOWN SEM")
  , fd_(fd)
{
}

InputHandler::~InputHandler()
{
  trace(1, 4, "InputHandler::~InputHandler\n");
}

int InputHandler::init(Supplier *supplier)
{
  if (init(supplier, supplier ? supplier->orb_reactor() : nullptr) == -1)
    return -1;
  supplier_ = supplier;
  supplier_->attach_console();
  return 0;
}

int InputHandler::init(EventSink *sink, ACE_Reactor *reactor)
{
  sink_ = sink;
  reactor_ = reactor;
  int result = -1;
  if (reactor_ != nullptr) {
    // On this platform the library registers standard input with the
    // reactor; its handle_input then runs in the reactor's loop.
    if (fd_ == ACE_STDIN)
      result = ACE_Event_Handler::register_stdin_handler(
        this, reactor_, ACE_Thread_Manager::instance(), THR_DETACHED);
    else
      result = reactor_->register_handler(fd_, this, ACE_Event_Handler::READ_MASK);
  }
  if (result == -1) {
    reportError("register_stdin_handler");
    return -1;
  }
  return 0;
}

bool InputHandler::has_piece() const
{
  return buffer_.size() >= max_piece || buffer_.find('\n') != std::string::npos ||
         (at_end_ && !buffer_.empty());
}

bool InputHandler::next_piece(std::string &piece)
{
  if (!has_piece())
    return false;
  // Like fgets with a count of 511: at most 510 characters, the newline
  // included when it falls within them.
  const std::size_t newline = buffer_.find('\n');
  std::size_t length = newline == std::string::npos ? buffer_.size() : newline + 1;
  if (length > max_piece)
    length = max_piece;
  piece.assign(buffer_, 0, length);
  buffer_.erase(0, length);
  return true;
}

bool InputHandler::fill()
{
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return true;
    // End of input, or a read error: both end reading.
    at_end_ = true;
    return false;
  }
}

int InputHandler::handle_input(ACE_HANDLE)
{
  if (stopped_)
    return -1;
  std::string piece;
  // One read per call at most: the reactor calls only when input is ready.
  if (!has_piece() && !at_end_)
    fill();
  if (!next_piece(piece)) {
    if (!at_end_)
      return 0;
    trace(1, 4, "shutting down InputHandler\n");
    stopped_ = true;
    return -1;
  }
  if (handle_piece(piece) == -1) {
    stopped_ = true;
    return -1;
  }
  // Pieces already buffered would not wake the reactor again.
  return has_piece() || at_end_ ? 1 : 0;
}

int InputHandler::handle_piece(const std::string &raw)
{
  std::string line = raw;
  if (!line.empty() && line.back() == '\n')
    line.pop_back();
  trace(1, 4, "queuing for event %s\n", line.c_str());
  if (std::strncmp(line.c_str(), "quit", 4) == 0) {
    shutdown_trigger_.trigger();
    return -1;
  }
  try {
    Event_Comm::Event event;
    event.tag_ = CORBA::string_dup(line.c_str());
    event.object_ref_ = CORBA::Object::_nil();
    CORBA::Any value;
    value <<= event;
    if (sink_ != nullptr)
      sink_->send_event(value);
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "Unexpected Error\n");
  }
  return 0;
}

int InputHandler::close()
{
  trace(1, 4, "closing down Supplier::InputHandler\n");
  if (reactor_ == nullptr)
    return -1;
  const int result = fd_ == ACE_STDIN
                       ? ACE_Event_Handler::remove_stdin_handler(reactor_, ACE_Thread_Manager::instance())
                       : reactor_->remove_handler(fd_, ACE_Event_Handler::READ_MASK);
  if (supplier_ != nullptr)
    supplier_->detach_console();
  return result;
}
