// The one publishing entry point of the monitor. The CORBA Supplier
// implements it; tests give the alarm manager a recording stand-in.
#pragma once

#include <omniORB4/CORBA.h>

class EventSink
{
public:
  virtual ~EventSink() = default;
  // Queues a copy of the value for publication; never blocks on the network.
  virtual void send_event(const CORBA::Any &value) = 0;
};
