// The monitor's two framework tasks: the event handler that turns the
// console's shutdown trigger into an application shutdown request, and the
// periodic handler that publishes housekeeping records every 5 s, checks
// each housing's limits on them, and watches both water lines every second.
#pragma once

#include "alarms/Alarm.h"
#include "app/HousingLimits.h"
#include "framework/Callback.h"
#include "framework/MicroEventHandler.h"
#include "framework/MicroPeriodicHandler.h"

#include <TMX.hh>

class EventSink;
class EventTrigger;
class HousingSensor;
struct HousingReading;
class TmxApp;

class TmxEventHandler : public MicroEventHandler
{
public:
  // Watches the input handler's "SHUTDOWN SEM" trigger. Throws NullArg when
  // the application has no task synchroniser yet.
  TmxEventHandler(const char *name, TmxApp *app);
  // The same with the pieces named: the trigger to watch and what to call
  // when it is raised.
  TmxEventHandler(const char *name, TaskSynchronizer *taskSync, EventTrigger *shutdownTrigger, TmxApp *app);

  int processEvents() override;

private:
  TmxApp *app_;                   // not owned
  EventTrigger *shutdownTrigger_; // not owned
};

class TmxPeriodicHandler : public MicroPeriodicHandler
{
public:
  static constexpr unsigned housekeepingPeriodMs = 5000;
  static constexpr unsigned waterPeriodMs = 1000;
  static constexpr unsigned waterAlarmMinSeconds = 5;
  static constexpr unsigned waterAlarmMaxSeconds = 20;

  // Takes the supplier, both sensors and their limits from the application. Throws
  // NullArg when the application has no task synchroniser yet.
  TmxPeriodicHandler(const char *name, TmxApp *app);
  // The same with the pieces named. Sensors and sink are not owned; a null
  // electronics sensor switches both callbacks off (nothing is sampled).
  TmxPeriodicHandler(const char *name,
                     TaskSynchronizer *taskSync,
                     EventSink *supplier,
                     HousingSensor *electronics,
                     HousingSensor *spectrograph);
  ~TmxPeriodicHandler() override;

  // The callback bodies: every fifth pass, and every pass.
  int sendHousekeeping(Callback &caller);
  int checkWaterAlarms(Callback &caller);

  // Replaces both housings' limits (none by default) and their state.
  // Only before the task's start signal.
  void setLimits(const HousingLimits &electronics, const HousingLimits &spectrograph);

  TimedAlarm &electronicsWaterAlarm() { return electronicsAlarm_; }
  TimedAlarm &spectrographWaterAlarm() { return spectrographAlarm_; }

private:
  // Samples one housing and queues its record; readingTime is taken after
  // the sample. Returns the reading.
  HousingReading publishReading(HousingSensor &sensor, HousingID id);

  EventSink *supplier_;         // not owned
  HousingSensor *electronics_;  // not owned
  HousingSensor *spectrograph_; // not owned
  Callback housekeepingCallback_;
  Callback waterCallback_;
  TimedAlarm electronicsAlarm_;
  TimedAlarm spectrographAlarm_;
  HousingLimitChecker electronicsLimits_{ "Electronics housing" };
  HousingLimitChecker spectrographLimits_{ "Spectrograph housing" };
};
