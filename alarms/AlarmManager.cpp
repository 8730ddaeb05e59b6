#include "alarms/AlarmManager.h"

#include "alarms/Alarm.h"
#include "alarms/EventSink.h"
#include "framework/DateTime.h"
#include "framework/ErrorHandler.h"
#include "framework/MicroApp.h"

#include <TMX.hh>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

std::string format(const char *fmt, int a, int b)
{
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

bool exists(const std::string &path)
{
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

MessagePriority messagePriority(int priority)
{
  // A priority outside the enum could not be marshalled; it is published
  // as the most severe one rather than lost.
  return priority >= MESSAGE && priority <= ALARM ? static_cast<MessagePriority>(priority) : ALARM;
}

} // namespace

// The Message travels as a struct and goes into its any only when handed
// to the sink: copying a filled any marshals it, which needs an
// initialised ORB.
struct AlarmManager::Outgoing
{
  Outgoing()
  {
    // The generated struct leaves these uninitialised.
    message.priority = MESSAGE;
    message.arrival_time = 0;
  }

  TMX::Message message;
  Alarm *release = nullptr; // owned one-shot alarm to delete once published
  bool publish = false;
};

// ---------------------------------------------------------------- lifetime

AlarmManager &AlarmManager::instance()
{
  static AlarmManager manager;
  return manager;
}

namespace {
// The manager exists before main, as every part expects.
[[maybe_unused]] AlarmManager &processWideManager = AlarmManager::instance();
} // namespace

AlarmManager::AlarmManager() = default;

AlarmManager::~AlarmManager()
{
  trace(3, 4, "Destructing AlarmManager Class \n");
  stop();
  std::vector<Alarm *> owned;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto *list : { &enabledAlarms_, &disabledAlarms_ }) {
      for (Alarm *alarm : *list) {
        // Alarms owned elsewhere outlive the manager; they must no longer
        // reach it.
        alarm->manager_.store(nullptr);
        if (alarm->owned())
          owned.push_back(alarm);
      }
      list->clear();
    }
    closeLogFileLocked();
  }
  for (Alarm *alarm : owned)
    delete alarm;
}

void AlarmManager::stop()
{
  close();
  // From the task's own thread (a sink that ends the process) the loop
  // ends by itself once this call returns; waiting here would never end.
  if (!hasEnded() && threadId() == static_cast<std::uint64_t>(pthread_self()))
    return;
  wait(WAIT_FOREVER);
  joinThread();
}

// ---------------------------------------------------------------- registration

void AlarmManager::registerAlarm(Alarm *alarm)
{
  if (alarm == nullptr)
    return;
  if (traceEnabled(2, 4))
    trace(2, 4, "%s\n", alarm->text().c_str());
  {
    std::lock_guard<std::mutex> guard(mutex_);
    disabledAlarms_.push_back(alarm);
    ++registered_;
    wakePending_ = true;
  }
  wake_.notify_one();
}

void AlarmManager::unregisterAlarm(Alarm *alarm)
{
  // mutex_ is held by a pass for as long as it calls into alarms, so once
  // it is ours no pass is looking at this one.
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto *list : { &enabledAlarms_, &disabledAlarms_ })
    list->erase(std::remove(list->begin(), list->end(), alarm), list->end());
}

// ---------------------------------------------------------------- task

int AlarmManager::run()
{
  std::unique_lock<std::mutex> lock(mutex_);
  // Stopped before it started: returns at once unless alarms are waiting,
  // which get their one pass rather than being dropped unseen.
  bool last = stopRequested_ && !wakePending_;
  while (!last) {
    wake_.wait(lock, [this] { return wakePending_ || stopRequested_; });
    // A pass that sees the stop request is the last one: everything
    // registered before close() returned is handled by it.
    last = stopRequested_;
    wakePending_ = false;
    lock.unlock();
    scanPass();
    lock.lock();
  }
  stopRequested_ = false;
  return 0;
}

int AlarmManager::close()
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopRequested_ = true;
    closeLogFileLocked();
  }
  wake_.notify_all();
  return 1;
}

void AlarmManager::scanPass()
{
  std::lock_guard<std::mutex> passGuard(passMutex_);
  std::vector<Outgoing> outgoing;
  EventSink *sink;
  std::uint64_t covered;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++passCount_;
    sink = sink_;
    covered = registered_;

    std::vector<Alarm *> pending;
    pending.swap(disabledAlarms_);
    for (Alarm *alarm : pending) {
      if (alarm->isTripped())
        enableAlarmLocked(alarm, outgoing);
      else
        disabledAlarms_.push_back(alarm);
    }

    const std::vector<Alarm *> enabled = enabledAlarms_;
    for (Alarm *alarm : enabled) {
      if (!alarm->isTripped())
        disableAlarmLocked(alarm);
    }
  }
  // Published in the order enabled, outside mutex_: the sink may report.
  for (Outgoing &out : outgoing) {
    if (sink != nullptr && out.publish) {
      CORBA::Any value;
      value <<= out.message;
      sink->send_event(value);
    }
  }
  for (Outgoing &out : outgoing)
    delete out.release;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    examined_ = std::max(examined_, covered);
  }
  passDone_.notify_all();
}

bool AlarmManager::flush(std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = registered_;
  return passDone_.wait_for(lock, timeout, [this, target] { return examined_ >= target; });
}

void AlarmManager::enableAlarmLocked(Alarm *alarm, std::vector<Outgoing> &outgoing)
{
  const std::string text = alarm->text();
  trace(2, 4, "Alarm enabled %s \n", text.c_str());
  writeLogLineLocked(text);

  Outgoing out;
  if (sink_ != nullptr) {
    out.message.text = text.substr(0, Alarm::maxTextLength).c_str();
    out.message.priority = messagePriority(alarm->priority());
    out.message.arrival_time = toSeconds(alarm->createdAt().record());
    out.publish = true;
  }
  if (alarm->owned()) {
    // A one-shot alarm stays tripped for good: once logged and published
    // there is nothing left to do with it, and keeping it would grow the
    // list, and every pass, without bound.
    alarm->manager_.store(nullptr);
    out.release = alarm;
  } else {
    enabledAlarms_.erase(std::remove(enabledAlarms_.begin(), enabledAlarms_.end(), alarm),
                         enabledAlarms_.end());
    enabledAlarms_.insert(enabledAlarms_.begin(), alarm);
  }
  outgoing.push_back(std::move(out));
}

void AlarmManager::disableAlarmLocked(Alarm *alarm)
{
  enabledAlarms_.erase(std::remove(enabledAlarms_.begin(), enabledAlarms_.end(), alarm),
                       enabledAlarms_.end());
  disabledAlarms_.push_back(alarm);
  if (traceEnabled(2, 4))
    trace(2, 4, "Alarm disabled: %s \n", alarm->text().c_str());
}

void AlarmManager::setEventSink(EventSink *sink)
{
  std::lock_guard<std::mutex> passGuard(passMutex_);
  std::lock_guard<std::mutex> guard(mutex_);
  sink_ = sink;
}

// ---------------------------------------------------------------- log file

int AlarmManager::createLogFile(EventSink *supplier, const std::string &directory)
{
  std::lock_guard<std::mutex> passGuard(passMutex_);
  std::lock_guard<std::mutex> guard(mutex_);
  sink_ = supplier;

  const DateTime now(DateTime::LocalNow);
  const int day = now.dayOfYear();
  int n = 0;
  std::string path;
  for (;; ++n) {
    path = directory + "/" + format("%03d_%03d.log", day, n);
    if (n == 100 || !exists(path))
      break;
  }
  if (openLogFileLocked(path) == 0)
    return 0;
  logName_ = format("%03d_%03d.log", day, n);
  return 1;
}

int AlarmManager::openLogFile(const std::string &path)
{
  std::lock_guard<std::mutex> guard(mutex_);
  return openLogFileLocked(path);
}

int AlarmManager::openLogFileLocked(const std::string &path)
{
  closeLogFileLocked();

  // Created exclusively, so a file that appeared since it was looked for is
  // appended to rather than truncated.
  std::FILE *file = nullptr;
  bool created = false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    file = ::fdopen(fd, "w");
    if (file == nullptr)
      ::close(fd);
    created = file != nullptr;
  } else if (errno == EEXIST) {
    file = std::fopen(path.c_str(), "ae");
  }
  if (file == nullptr) {
    trace(1, 4, "Error opening log file %s from AlarmManager::createLogFile()", path.c_str());
    return 0;
  }

  if (created) {
    const DateTime now(DateTime::LocalNow);
    std::fprintf(file, "LOGFILE:%s\nAPPTITLE:%s  VER:%s\n", path.c_str(), appName(), appVersion());
    std::fprintf(file, "INSTRUMENT LOCATION:%s ID:%s\n", appBuild(), appName());
    std::fprintf(file,
                 "PSTDATE:%02d/%02d/%02d\nTIME:%02d:%02d:%02d\n",
                 now.dayOfMonth(),
                 now.month(),
                 now.year(),
                 now.hour(),
                 now.minute(),
                 now.second());
    std::fflush(file);
  }
  logFile_ = file;
  logPath_ = path;
  return 1;
}

void AlarmManager::writeLogLine(const std::string &text)
{
  std::lock_guard<std::mutex> guard(mutex_);
  writeLogLineLocked(text);
}

void AlarmManager::writeLogLineLocked(const std::string &text)
{
  if (logFile_ == nullptr)
    return;
  const DateTime now(DateTime::LocalNow);
  std::fprintf(logFile_, "%02d:%02d:%02d\t%s\n", now.hour(), now.minute(), now.second(), text.c_str());
  std::fflush(logFile_);
}

void AlarmManager::closeLogFileLocked()
{
  if (logFile_ == nullptr)
    return;
  std::fflush(logFile_);
  std::fclose(logFile_);
  logFile_ = nullptr;
}

// ---------------------------------------------------------------- queries

std::string AlarmManager::logName() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return logName_;
}

std::string AlarmManager::logPath() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return logPath_;
}

std::size_t AlarmManager::enabledCount() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return enabledAlarms_.size();
}

std::size_t AlarmManager::disabledCount() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return disabledAlarms_.size();
}

std::uint64_t AlarmManager::passCount() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return passCount_;
}
