// The process-wide alarm manager task: logs newly tripped alarms with a
// time stamp into the log file of this program start and publishes each
// as a TMX::Message through the event sink.
#pragma once

#include "framework/MicroTask.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class Alarm;
class EventSink;

// Locking: one lock (mutex_) guards both alarm lists, the log file, the
// sink pointer and the wake-up flag, so registering threads, close() and
// the task never race. A second lock (passMutex_) serialises whole scan
// passes with changes of the sink; it is taken before mutex_, and the sink
// is called with only passMutex_ held, so a sink that reports through
// reportMessage/reportError cannot deadlock.
class AlarmManager : public MicroTask
{
public:
  // The process-wide manager, created on first use (and during static
  // initialisation). It lives until exit, where its destructor ends the
  // task; an owner that wants the task ended earlier calls stop().
  static AlarmManager &instance();

  // Independent managers (tests) may be built besides the process-wide one.
  AlarmManager();
  // Ends the task (close, then join) before the lists go away, deletes the
  // alarms it owns and lets go of the others.
  ~AlarmManager() override;

  // Appends to the disabled list and wakes the task. An alarm registers
  // once.
  void registerAlarm(Alarm *alarm);
  // Removes an alarm that its owner is about to destroy; returns once no
  // pass looks at it any more. Unknown alarms are ignored.
  void unregisterAlarm(Alarm *alarm);

  // Creates DDD_NNN.log in `directory` (which must exist) and keeps the
  // sink (which may be null: nothing is published then). 1 when the file
  // is open, else 0.
  int createLogFile(EventSink *supplier, const std::string &directory);
  // 1 on success, 0 on failure (traced at levels 1-4; no file afterwards).
  int openLogFile(const std::string &path);
  // Time-stamped line, flushed; dropped when no file is open.
  void writeLogLine(const std::string &text);
  // Replaces the sink; returns once no publication through the old one is
  // in progress, so the old sink may then be destroyed.
  void setEventSink(EventSink *sink);

  int run() override;
  // Requests the end of the run loop and closes the log file; returns 1.
  int close() override;
  // close(), then waits for the task's thread to end (on the task's own
  // thread it only closes). TmxApp's destructor calls this on the
  // process-wide manager in place of deleting it.
  void stop();
  // One scan pass on the calling thread (the task runs one per wake-up):
  // enables tripped alarms (log line, then publication), disables the ones
  // no longer tripped, and releases owned one-shot alarms once published.
  void scanPass();
  // Waits, at most `timeout`, until every alarm registered before the call
  // has been examined by a finished pass: logged and published when it was
  // tripped. False on time-out (the task is not running, or stalls in the
  // sink). Never call it from the task's own thread or from a sink.
  bool flush(std::chrono::milliseconds timeout);

  std::string logName() const;
  // Full path of the open (or last opened) log file; empty before.
  std::string logPath() const;
  std::size_t enabledCount() const;
  std::size_t disabledCount() const;
  std::uint64_t passCount() const;

private:
  struct Outgoing;

  int openLogFileLocked(const std::string &path);
  void writeLogLineLocked(const std::string &text);
  void closeLogFileLocked();
  void enableAlarmLocked(Alarm *alarm, std::vector<Outgoing> &outgoing);
  void disableAlarmLocked(Alarm *alarm);

  mutable std::mutex mutex_;
  std::mutex passMutex_;
  std::condition_variable wake_;
  bool wakePending_ = false;
  bool stopRequested_ = false;
  std::FILE *logFile_ = nullptr;
  std::string logName_;
  std::string logPath_;
  std::vector<Alarm *> disabledAlarms_; // new alarms at the end
  std::vector<Alarm *> enabledAlarms_;  // newly enabled at the front
  EventSink *sink_ = nullptr;
  std::uint64_t passCount_ = 0;
  // Registrations so far, and how many of them a finished pass has seen.
  std::uint64_t registered_ = 0;
  std::uint64_t examined_ = 0;
  std::condition_variable passDone_;
};
