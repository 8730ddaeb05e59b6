// Console tracing, the error status carried by framework objects, and the
// exceptions thrown by constructors.
#pragma once

#include <mutex>
#include <string>

// Process-wide trace level; 1 at run time. A trace line prints only while
// the level lies in the line's band: 1-4 operational, 2-4 task hand-over,
// 3-4 construction and per-event detail, 4 per-pass detail. Levels 0 and
// 5 and above print nothing. Written once on the main thread before any
// task starts.
extern int traceLevel;

// True when traceLevel lies in [low, high].
bool traceEnabled(int low, int high);

// printf-style trace to standard output, printed only inside the band.
void trace(int low, int high, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Error status: 0 until an error is recorded, then 1 for good. The last
// recorded text (at most 127 characters) is kept and written to standard
// error, followed by a newline, at every trace level.
class ErrorHandler
{
public:
  static constexpr std::size_t messageSize = 128; // including the terminator

  ErrorHandler() = default;

  void clear();
  // Records an error. A null text only sets the status.
  void set(const char *text);
  int status() const;
  // Copies the message with its terminator into buf (at least messageSize).
  void copyMessage(char *buf) const;
  std::string message() const;

private:
  mutable std::mutex mutex_;
  short status_ = 0;
  std::string message_;
};

// Thrown by value by constructors, caught by reference.
class Exception
{
public:
  Exception() = default;
  explicit Exception(const char *text);
  Exception(const Exception &) = default;
  Exception &operator=(const Exception &) = default;
  virtual ~Exception();
  // The text, or null when none was given.
  virtual const char *message() const;

private:
  std::string text_;
  bool hasText_ = false;
};

// A required constructor argument was null; position is 1-based.
class NullArg : public Exception
{
public:
  explicit NullArg(int position);
  const char *message() const override; // "Null argument no. %d"

private:
  std::string text_;
};
