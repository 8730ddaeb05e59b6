#include "web/Notifier.h"

#include <optional>
#include <utility>
#include <variant>

#include "orb/Orb.h"
#include "web/JsonViews.h"
#include "wire/Decode.h"
#include "wire/Quoting.h"

namespace tmx::web {

NotifierConnector::NotifierConnector(CORBA::ORB_ptr orb, Report report)
  : orb_(CORBA::ORB::_duplicate(orb))
  , report_(std::move(report))
{
}

bool NotifierConnector::subscribe(std::string &why)
{
  const char *step = "naming service";
  try {
    CosNaming::NamingContextExt_var naming = orb::rootContext(orb_.in());
    step = "resolve \"Notifier\"";
    CORBA::Object_var obj = naming->resolve_str("Notifier");
    Event_Comm::Notifier_var notifier = Event_Comm::Notifier::_narrow(obj.in());
    if (CORBA::is_nil(notifier)) {
      why = "the object bound as \"Notifier\" is not an Event_Comm::Notifier";
      return false;
    }
    // The same notifier as before (staleness, not a restart): end our
    // subscription there first, or it refuses a second one.
    if (!CORBA::is_nil(notifier_) && notifier_->_is_equivalent(notifier.in())) {
      try {
        notifier->unsubscribe(self_.in(), "");
      } catch (const Event_Comm::Notifier::CannotUnsubscribe &) {
      }
    }
    step = "subscribe";
    notifier->subscribe(self_.in(), "");
    notifier_ = notifier._retn();
    return true;
  } catch (const CORBA::ORB::InvalidName &) {
    why = "no naming service given";
  } catch (const CosNaming::NamingContext::NotFound &) {
    why = "no notifier is bound as \"Notifier\"";
  } catch (const Event_Comm::Notifier::CannotSubscribe &e) {
    why = "subscription refused: " + wire::escaped(e.reason_.in());
  } catch (const CORBA::Exception &e) {
    why = std::string(step) + ": " + orb::describe(e);
  }
  return false;
}

bool NotifierConnector::alive(std::string &why)
{
  try {
    if (CORBA::is_nil(notifier_) || notifier_->_non_existent()) {
      why = "it no longer exists";
      return false;
    }
    return true;
  } catch (const CORBA::Exception &e) {
    why = orb::describe(e);
    return false;
  }
}

void NotifierConnector::unsubscribe()
{
  if (CORBA::is_nil(notifier_))
    return;
  try {
    notifier_->unsubscribe(self_.in(), "");
  } catch (const Event_Comm::Notifier::CannotUnsubscribe &e) {
    report_("unsubscribe refused: " + wire::escaped(e.reason_.in()));
  } catch (const CORBA::Exception &e) {
    report_("unsubscribe failed: " + orb::describe(e));
  }
}

void WebConsumer::push(const Event_Comm::Event &event)
{
  const double arrival = unixSeconds(s_.clock.wall());
  s_.subscription.recordArrived();
  std::optional<Record> record = wire::recordOf(event, arrival);
  if (!record)
    return;
  if (auto *h = std::get_if<archive::HousekeepingRecord>(&*record)) {
    if (const char *reason = s_.check.refusal(*h, arrival)) {
      s_.metrics.refused(reason);
      return;
    }
    s_.live.update(*h);
    s_.metrics.reading(*h);
    s_.hub.publish("housekeeping", housingJson(s_.live, h->housing, s_.subscription.status()));
    if (s_.alarms)
      s_.alarms->housekeeping(*h);
  } else if (auto *m = std::get_if<archive::MessageRecord>(&*record)) {
    s_.metrics.message(m->priority);
    archive::LogEntry e{
      m->arrivalTime, archive::LogEntry::Kind::message, m->priority, m->sentTime, m->text
    };
    s_.hub.publish("message", logEntryJson(e));
    if (s_.alarms)
      s_.alarms->message(*m);
  } else {
    const auto &c = std::get<archive::ConsoleLine>(*record);
    archive::LogEntry e{
      c.arrivalTime, archive::LogEntry::Kind::console, std::nullopt, std::nullopt, c.text
    };
    s_.hub.publish("message", logEntryJson(e));
  }
  s_.ingest.push(std::move(*record));
}

void WebConsumer::disconnect(const char *reason)
{
  s_.subscription.disconnected(wire::escaped(reason ? reason : ""));
}

} // namespace tmx::web
