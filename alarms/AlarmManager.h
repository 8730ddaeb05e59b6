// The process-wide alarm manager task: logs newly tripped alarms with a
// time stamp into the log file of this program start and publishes each
// as a TMX::Message through the event sink.
#pragma once

#include "framework/MicroTask.h"

#include <string>

class Alarm;
class EventSink;

class AlarmManager : public MicroTask
{
public:
  // The process-wide manager, created on first use.
  static AlarmManager &instance();

  AlarmManager();
  // Ends the task (close, then join) before the lists go away.
  ~AlarmManager() override;

  void registerAlarm(Alarm *alarm);
  // Removes an alarm that its owner is about to destroy.
  void unregisterAlarm(Alarm *alarm);

  // Creates DDD_NNN.log in the log directory and keeps the sink.
  void createLogFile(EventSink *supplier);
  int openLogFile(const std::string &path);
  void writeLogLine(const std::string &text);

  int run() override;
  int close() override;

  const std::string &logName() const;
};
