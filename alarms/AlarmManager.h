// The process-wide alarm manager task: logs newly tripped alarms with a
// time stamp into the log file of this program start and publishes each
// as a TMX::Message through the event sink.
#pragma once

#include "framework/MicroTask.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
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
//
// A log write that fails (a full file system) loses the line but nothing
// else: the first failure of an episode is printed on standard error and
// raised as an ALARM naming the file and the system error; later lines are
// counted, and the first write that works again is preceded by one line
// with the number of lines lost.
class AlarmManager : public MicroTask
{
public:
  // The call through which every byte of the log file goes (::write unless
  // replaced).
  using WriteFunction = ssize_t (*)(int fd, const void *data, std::size_t size);

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
  // Time-stamped line, handed to the system at once (no buffering);
  // dropped when no file is open.
  void writeLogLine(const std::string &text);
  // Replaces the write call of the log file; null restores ::write.
  void setWriteFunction(WriteFunction write);
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
  // Writes whole lines; false when they are lost (see the class comment).
  bool writeLocked(const std::string &lines);
  // 0, or the errno of the write that failed; `written` counts the bytes
  // that went out before it.
  int writeAllLocked(const std::string &data, std::size_t &written);
  void writeFailedLocked(int error, const std::string &data, std::size_t written);
  // Raises the failure report noted while mutex_ was held.
  void raiseWriteFailureReport();
  void closeLogFileLocked();
  void enableAlarmLocked(Alarm *alarm, std::vector<Outgoing> &outgoing);
  void disableAlarmLocked(Alarm *alarm);

  mutable std::mutex mutex_;
  std::mutex passMutex_;
  std::condition_variable wake_;
  bool wakePending_ = false;
  bool stopRequested_ = false;
  int logFd_ = -1;
  std::string logName_;
  std::string logPath_;
  WriteFunction write_;
  // The current write failure episode of the open file.
  bool writeFailing_ = false;
  bool tornLine_ = false; // the file ends inside a line
  std::uint64_t linesLost_ = 0;
  std::string writeError_;              // system error of the episode's first failure
  std::string pendingReport_;           // failure report not raised yet
  std::vector<Alarm *> disabledAlarms_; // new alarms at the end
  std::vector<Alarm *> enabledAlarms_;  // newly enabled at the front
  EventSink *sink_ = nullptr;
  std::uint64_t passCount_ = 0;
  // Registrations so far, and how many of them a finished pass has seen.
  std::uint64_t registered_ = 0;
  std::uint64_t examined_ = 0;
  std::condition_variable passDone_;
};
