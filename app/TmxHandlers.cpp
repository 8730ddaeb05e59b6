#include "app/TmxHandlers.h"

#include "alarms/EventSink.h"
#include "app/HousingSensor.h"
#include "app/TmxApp.h"
#include "config/AlarmTexts.h"
#include "corba/supplier.h"
#include "framework/DateTime.h"
#include "framework/ErrorHandler.h"

#include <memory>

namespace {

TaskSynchronizer *syncOf(TmxApp *app)
{
  return app != nullptr ? app->taskSync() : nullptr;
}

} // namespace

TmxEventHandler::TmxEventHandler(const char *name, TmxApp *app)
  : TmxEventHandler(name, syncOf(app), app != nullptr ? &app->shutdownTrigger() : nullptr, app)
{
}

TmxEventHandler::TmxEventHandler(const char *name,
                                 TaskSynchronizer *taskSync,
                                 EventTrigger *shutdownTrigger,
                                 TmxApp *app)
  : MicroEventHandler(name, taskSync)
  , app_(app)
  , shutdownTrigger_(shutdownTrigger)
{
  addEvent(shutdownTrigger_, nullptr);
}

int TmxEventHandler::processEvents()
{
  trace(3, 4, "TmxEventHandler::processEvents() start \n");
  if (shutdownTrigger_ != nullptr && shutdownTrigger_->isTriggered() && app_ != nullptr)
    app_->requestShutdown();
  trace(3, 4, "TmxEventHandler::processEvents() end \n");
  return 0;
}

TmxPeriodicHandler::TmxPeriodicHandler(const char *name, TmxApp *app)
  : TmxPeriodicHandler(name,
                       syncOf(app),
                       app != nullptr ? app->supplier() : nullptr,
                       app != nullptr ? app->electronicsSensor() : nullptr,
                       app != nullptr ? app->spectrographSensor() : nullptr)
{
  if (app != nullptr)
    setLimits(app->electronicsLimits(), app->spectrographLimits());
}

TmxPeriodicHandler::TmxPeriodicHandler(const char *name,
                                       TaskSynchronizer *taskSync,
                                       EventSink *supplier,
                                       HousingSensor *electronics,
                                       HousingSensor *spectrograph)
  : MicroPeriodicHandler(name, taskSync)
  , supplier_(supplier)
  , electronics_(electronics)
  , spectrograph_(spectrograph)
  , housekeepingCallback_(
      std::make_unique<MemberCallback<TmxPeriodicHandler>>(this, &TmxPeriodicHandler::sendHousekeeping))
  , waterCallback_(
      std::make_unique<MemberCallback<TmxPeriodicHandler>>(this, &TmxPeriodicHandler::checkWaterAlarms))
  , electronicsAlarm_(tmx::alarmtext::waterAlarm(0).c_str(), waterAlarmMinSeconds, waterAlarmMaxSeconds)
  , spectrographAlarm_(tmx::alarmtext::waterAlarm(1).c_str(), waterAlarmMinSeconds, waterAlarmMaxSeconds)
{
  // Housekeeping first: on a pass that runs both, it runs before the water
  // check.
  addCallback(housekeepingPeriodMs, &housekeepingCallback_);
  addCallback(waterPeriodMs, &waterCallback_);
}

TmxPeriodicHandler::~TmxPeriodicHandler()
{
  // The callbacks and alarms go away before the base destructor would stop
  // the task, so the task must not run any more.
  if (!hasEnded())
    stop(20);
  joinThread();
}

void TmxPeriodicHandler::setLimits(const HousingLimits &electronics, const HousingLimits &spectrograph)
{
  electronicsLimits_ = HousingLimitChecker(tmx::alarmtext::housingName(0), electronics);
  spectrographLimits_ = HousingLimitChecker(tmx::alarmtext::housingName(1), spectrograph);
}

HousingReading TmxPeriodicHandler::publishReading(HousingSensor &sensor, HousingID id)
{
  HousingReading reading;
  sensor.sample(reading);
  TMX::HousekeepingData record;
  record.id = id;
  record.temp = reading.temperature;
  record.rh = reading.humidity;
  record.wateralarm = reading.waterAlarm != 0;
  record.readingTime = static_cast<TimeBase::TimeT>(currentTime());
  if (supplier_ != nullptr) {
    CORBA::Any value;
    value <<= record;
    supplier_->send_event(value);
  }
  return reading;
}

int TmxPeriodicHandler::sendHousekeeping(Callback &)
{
  if (electronics_ == nullptr)
    return 0;
  // Limits are checked after the record is queued, so an alarm follows the
  // record that shows its value.
  HousingReading reading = publishReading(*electronics_, ELECTRONICS_HOUSING);
  raiseLimitEvents(electronicsLimits_.check(reading.temperature, reading.humidity));
  if (spectrograph_ != nullptr) {
    reading = publishReading(*spectrograph_, SPECTROGRAPH_HOUSING);
    raiseLimitEvents(spectrographLimits_.check(reading.temperature, reading.humidity));
  }
  return 0;
}

int TmxPeriodicHandler::checkWaterAlarms(Callback &)
{
  if (electronics_ == nullptr)
    return 0;
  if (electronics_->readWater() == 1) {
    electronicsAlarm_.check();
    if (electronicsAlarm_.isTripped() != 0) {
      publishReading(*electronics_, ELECTRONICS_HOUSING);
      reportError(tmx::alarmtext::waterAlarm(0).c_str());
    }
  }
  if (spectrograph_ != nullptr && spectrograph_->readWater() == 1) {
    spectrographAlarm_.check();
    if (spectrographAlarm_.isTripped() != 0) {
      publishReading(*spectrograph_, SPECTROGRAPH_HOUSING);
      reportError(tmx::alarmtext::waterAlarm(1).c_str());
    }
  }
  return 0;
}
