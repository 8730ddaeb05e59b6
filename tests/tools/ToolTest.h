// Values, a notifier set-up and the shared recording consumer for the tests
// of the notifier, watch and status programs.
#pragma once

#include <string>
#include <vector>

#include "Event_Comm.hh"
#include "TMX.hh"
#include "tests/support/Recording.h"
#include "tests/support/TestSupport.h"

namespace tmx::test {

inline Event_Comm::Event makeEvent(const std::string &tag, const CORBA::Any &value = CORBA::Any())
{
  Event_Comm::Event e;
  e.tag_ = tag.c_str();
  e.value_ = value;
  e.object_ref_ = CORBA::Object::_nil();
  return e;
}

// Any value in an Any.
template<class T>
CORBA::Any toAny(const T &value)
{
  CORBA::Any a;
  a <<= value;
  return a;
}

inline CORBA::Any housekeepingValue(HousingID id, double temp, double rh, bool water, unsigned long long t)
{
  TMX::HousekeepingData hk;
  hk.id = id;
  hk.temp = temp;
  hk.rh = rh;
  hk.wateralarm = water;
  hk.readingTime = t;
  return toAny(hk);
}

inline CORBA::Any messageValue(const char *text, MessagePriority p, unsigned long long t)
{
  TMX::Message m;
  m.text = text;
  m.priority = p;
  m.arrival_time = t;
  return toAny(m);
}

inline CORBA::Any eventValue(short id, const char *name, unsigned long long t)
{
  TMX::Event e;
  e.id = id;
  e.name = name;
  e.arrival_time = t;
  return toAny(e);
}

inline CORBA::Any consoleValue(const char *line)
{
  return toAny(makeEvent(line));
}

inline CORBA::Any stringValue(const char *s)
{
  return toAny(s);
}

// A naming service, a running tmx-notifier and this process's ORB with a
// reference to the notifier.
struct NotifierSetup
{
  explicit NotifierSetup(const std::vector<std::string> &notifierArgs = {})
  {
    env.startNotifier(notifierArgs);
    CORBA::Object_var obj = orb.resolve("Notifier");
    notifier = Event_Comm::Notifier::_narrow(obj);
  }

  Event_Comm::Consumer_ptr activate(RecordingConsumer &c)
  {
    CORBA::Object_var obj = orb.activate(&c);
    return Event_Comm::Consumer::_narrow(obj);
  }

  CorbaEnv env;
  TestOrb orb{ env.orbArgs() };
  Event_Comm::Notifier_var notifier;
};

} // namespace tmx::test
