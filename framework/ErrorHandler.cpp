#include "framework/ErrorHandler.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int traceLevel = 1;

bool traceEnabled(int low, int high)
{
  return traceLevel >= low && traceLevel <= high && traceLevel >= 1 && traceLevel <= 4;
}

void trace(int low, int high, const char *format, ...)
{
  if (!traceEnabled(low, high) || format == nullptr)
    return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

void ErrorHandler::clear()
{
  std::lock_guard<std::mutex> guard(mutex_);
  status_ = 0;
}

void ErrorHandler::set(const char *text)
{
  std::lock_guard<std::mutex> guard(mutex_);
  status_ = 1;
  if (text == nullptr)
    return;
  message_.assign(text, strnlen(text, messageSize - 1));
  // One write per record, so lines from several threads do not interleave.
  std::string line = message_ + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int ErrorHandler::status() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return status_;
}

void ErrorHandler::copyMessage(char *buf) const
{
  if (buf == nullptr)
    return;
  std::lock_guard<std::mutex> guard(mutex_);
  std::memcpy(buf, message_.c_str(), message_.size() + 1);
}

std::string ErrorHandler::message() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return message_;
}

Exception::Exception(const char *text)
{
  if (text != nullptr) {
    text_ = text;
    hasText_ = true;
  }
}

Exception::~Exception() = default;

const char *Exception::message() const
{
  return hasText_ ? text_.c_str() : nullptr;
}

NullArg::NullArg(int position)
  : text_("Null argument no. " + std::to_string(position))
{
}

const char *NullArg::message() const
{
  return text_.c_str();
}
