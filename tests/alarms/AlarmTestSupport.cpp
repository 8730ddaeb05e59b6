#include "tests/alarms/AlarmTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace alarmtest {

FakeClock::FakeClock()
  : wall_(localTime(2001, 12, 5, 10, 11, 12))
{
  setClockSource(this);
}

FakeClock::~FakeClock()
{
  setClockSource(nullptr);
}

std::time_t FakeClock::localTime(int year, int month, int day, int hour, int minute, int second)
{
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

void RecordingSink::send_event(const CORBA::Any &value)
{
  const TMX::Message *message = nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  if (value >>= message)
    messages_.push_back(
      { std::string(message->text), static_cast<int>(message->priority), message->arrival_time });
  else
    ++others_;
  arrived_.notify_all();
}

bool RecordingSink::waitFor(std::size_t n, int ms)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return messages_.size() >= n; });
}

std::vector<Published> RecordingSink::messages()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_;
}

std::size_t RecordingSink::count()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_.size();
}

std::size_t RecordingSink::others()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return others_;
}

void CountingSink::send_event(const CORBA::Any &)
{
  std::lock_guard<std::mutex> guard(mutex_);
  ++count_;
  arrived_.notify_all();
}

bool CountingSink::waitFor(std::size_t n, int ms)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return count_ >= n; });
}

std::size_t CountingSink::count()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return count_;
}

TempDir::TempDir()
{
  std::string pattern = (std::filesystem::temp_directory_path() / "tmx-alarms-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir()
{
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string &path, const std::string &text)
{
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> lines(const std::string &text)
{
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  return result;
}

ScopedEnv::ScopedEnv(const char *name, const char *value)
  : name_(name)
{
  const char *old = std::getenv(name);
  hadValue_ = old != nullptr;
  if (hadValue_)
    saved_ = old;
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
  if (hadValue_)
    setenv(name_.c_str(), saved_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

} // namespace alarmtest
