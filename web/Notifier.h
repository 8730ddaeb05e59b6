// tmx-web's side of the notifier: the connection that subscribes our
// consumer (resolved as "Notifier" in the naming service) and checks that
// the notifier lives, and the consumer the notifier pushes its events to.
#pragma once

#include <functional>
#include <string>

#include "Event_Comm.hh"
#include "web/AlarmState.h"
#include "web/Clock.h"
#include "web/EventHub.h"
#include "web/Ingest.h"
#include "web/LiveState.h"
#include "web/Metrics.h"
#include "web/RecordCheck.h"
#include "web/Subscription.h"

namespace tmx::web {

class NotifierConnector : public Connector
{
public:
  using Report = std::function<void(const std::string &)>;
  // report: what goes wrong at unsubscribe (there is no caller to tell).
  NotifierConnector(CORBA::ORB_ptr orb, Report report);

  // Our consumer's reference, before the first subscribe().
  void setSelf(Event_Comm::Consumer_ptr self) { self_ = Event_Comm::Consumer::_duplicate(self); }

  bool subscribe(std::string &why) override;
  bool alive(std::string &why) override;
  void unsubscribe() override;

private:
  CORBA::ORB_var orb_;
  Report report_;
  Event_Comm::Consumer_var self_;
  Event_Comm::Notifier_var notifier_; // only touched from the subscription's thread
};

// What a push feeds.
struct Sinks
{
  Subscription &subscription;
  LiveState &live;
  Metrics &metrics;
  EventHub &hub;
  Ingest &ingest;
  const Clock &clock;           // the arrival time of each event
  RecordCheck &check;           // housekeeping records with a reading time to believe
  AlarmState *alarms = nullptr; // the alarm episodes, when kept
};

// Decodes each event (wire::recordOf) and hands it on: the live state, the
// metrics and the event stream at once, the archive through the ingest
// queue. Everything here is quick and bounded: memory, gauges, bounded
// queues.
class WebConsumer : public POA_Event_Comm::Consumer
{
public:
  explicit WebConsumer(Sinks sinks)
    : s_(sinks)
  {
  }

  void push(const Event_Comm::Event &event) override;
  void disconnect(const char *reason) override;

private:
  Sinks s_;
};

} // namespace tmx::web
