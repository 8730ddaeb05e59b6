#include "alarms/AlarmManager.h"

#include "alarms/Alarm.h"
#include "alarms/EventSink.h"
#include "config/AlarmTexts.h"
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
#include <cstdio>
#include <cstring>

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

std::size_t lineCount(const std::string &data)
{
  return static_cast<std::size_t>(std::count(data.begin(), data.end(), '\n'));
}

std::string timeStamp()
{
  return DateTime(DateTime::LocalNow).clockText() + "\t";
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

AlarmManager::AlarmManager()
  : write_(&::write)
{
}

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
  raiseWriteFailureReport();
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
  }
  raiseWriteFailureReport();
  return 1;
}

int AlarmManager::openLogFile(const std::string &path)
{
  int result;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    result = openLogFileLocked(path);
  }
  raiseWriteFailureReport();
  return result;
}

int AlarmManager::openLogFileLocked(const std::string &path)
{
  closeLogFileLocked();

  // Created exclusively, so a file that appeared since it was looked for is
  // appended to rather than truncated.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  const bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST)
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    trace(1, 4, "Error opening log file %s from AlarmManager::createLogFile()", path.c_str());
    return 0;
  }
  logFd_ = fd;
  logPath_ = path;

  if (created) {
    const DateTime now(DateTime::LocalNow);
    // The date's year form (two digits before 2000) has no strftime
    // equivalent.
    char date[32];
    std::snprintf(date, sizeof date, "PSTDATE:%02d/%02d/%02d\n", now.dayOfMonth(), now.month(), now.year());
    writeLocked(std::string("LOGFILE:") + path + "\nAPPTITLE:" + appName() + "  VER:" + appVersion() +
                "\nINSTRUMENT LOCATION:" + appBuild() + " ID:" + appName() + "\n" + date +
                "TIME:" + now.clockText() + "\n");
  }
  return 1;
}

void AlarmManager::writeLogLine(const std::string &text)
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    writeLogLineLocked(text);
  }
  raiseWriteFailureReport();
}

void AlarmManager::setWriteFunction(WriteFunction write)
{
  std::lock_guard<std::mutex> guard(mutex_);
  write_ = write != nullptr ? write : &::write;
}

void AlarmManager::writeLogLineLocked(const std::string &text)
{
  if (logFd_ < 0)
    return;
  writeLocked(timeStamp() + text + "\n");
}

bool AlarmManager::writeLocked(const std::string &lines)
{
  std::size_t written = 0;
  if (writeFailing_) {
    // The count goes first, and only once it is written is the episode
    // over. A line torn by the failure is ended first, so that the count
    // stands on a line of its own.
    const std::string note = std::string(tornLine_ ? "\n" : "") + timeStamp() +
                             "ERROR: " + tmx::alarmtext::logWriteRecovered(writeError_, linesLost_) + "\n";
    if (writeAllLocked(note, written) != 0) {
      if (written > 0)
        tornLine_ = note[written - 1] != '\n';
      linesLost_ += lineCount(lines);
      return false;
    }
    writeFailing_ = false;
    tornLine_ = false;
    linesLost_ = 0;
  }
  if (const int error = writeAllLocked(lines, written)) {
    writeFailedLocked(error, lines, written);
    return false;
  }
  return true;
}

int AlarmManager::writeAllLocked(const std::string &data, std::size_t &written)
{
  written = 0;
  while (written < data.size()) {
    const ssize_t n = write_(logFd_, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? errno : EIO;
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

void AlarmManager::writeFailedLocked(int error, const std::string &data, std::size_t written)
{
  if (written > 0)
    tornLine_ = data[written - 1] != '\n';
  linesLost_ += lineCount(data.substr(written));
  if (writeFailing_)
    return;
  writeFailing_ = true;
  writeError_ = std::strerror(error);
  const std::string text = tmx::alarmtext::logWriteFailed(logPath_, writeError_);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  // The published text and its time suffix keep within the bound of a
  // message text: a path too long for it leaves its directory out.
  constexpr std::size_t suffixLength = sizeof "@hh:mm:ss" - 1;
  pendingReport_ = "ERROR: " + text;
  if (pendingReport_.size() + suffixLength > Alarm::maxTextLength)
    pendingReport_ =
      "ERROR: " + tmx::alarmtext::logWriteFailed(logPath_.substr(logPath_.rfind('/') + 1), writeError_);
}

void AlarmManager::raiseWriteFailureReport()
{
  std::string text;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    text.swap(pendingReport_);
  }
  if (!text.empty())
    raiseAlarm(text.c_str(), ALARM, this);
}

void AlarmManager::closeLogFileLocked()
{
  if (logFd_ < 0)
    return;
  ::close(logFd_);
  logFd_ = -1;
  writeFailing_ = false;
  tornLine_ = false;
  linesLost_ = 0;
  pendingReport_.clear();
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
