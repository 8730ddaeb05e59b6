// The operator's console: "quit" raises the shutdown trigger, every other
// line is published as an Event_Comm::Event whose tag is the line.
#pragma once

#include "framework/MicroTask.h"

#include <ace/Event_Handler.h>

#include <string>

class ACE_Reactor;
class EventSink;
class Supplier;

class InputHandler : public ACE_Event_Handler
{
public:
  // Longest piece taken as one line; longer lines arrive in several pieces.
  static constexpr std::size_t max_piece = 510;

  // Reads fd (standard input by default; tests pass a pipe).
  explicit InputHandler(int fd = 0);
  ~InputHandler() override;

  // Registers with the supplier's reactor, whose loop runs in the ORB
  // thread. 0, or -1 after reporting "register_stdin_handler".
  int init(Supplier *supplier);
  // The same with any sink and reactor.
  int init(EventSink *sink, ACE_Reactor *reactor);

  // Takes one piece of input: up to a newline, or max_piece characters, or
  // what is left at end of input. Returns -1 after "quit" and at end of
  // input (reading stops), 1 while further complete pieces are buffered
  // (the reactor calls again at once), 0 otherwise.
  int handle_input(ACE_HANDLE handle = ACE_INVALID_HANDLE) override;

  // Leaves the reactor and detaches from the supplier, whose reactor loop
  // then ends; the reactor's result (-1 when reading had already
  // stopped and the handler was removed then).
  int close();

  // Raised by "quit"; the application's event handler watches it.
  EventTrigger &shutdown_trigger() { return shutdown_trigger_; }

private:
  // Pulls more input into buffer_; false at end of input or on an error.
  bool fill();
  // Cuts the next piece off buffer_; false when no complete piece is there.
  bool next_piece(std::string &piece);
  bool has_piece() const;
  int handle_piece(const std::string &piece);

  EventTrigger shutdown_trigger_;
  EventSink *sink_ = nullptr;
  Supplier *supplier_ = nullptr;
  ACE_Reactor *reactor_ = nullptr;
  int fd_;
  std::string buffer_;
  bool at_end_ = false;
  bool stopped_ = false;
};
