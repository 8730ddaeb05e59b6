#include "corba/tmxapp_i.h"

#include <ace/Log_Msg.h>

ElapsedTimeSource::~ElapsedTimeSource() = default;

TmxApp_i::TmxApp_i(ElapsedTimeSource *app)
  : app_(app)
{
}

TmxApp_i::~TmxApp_i() = default;

CORBA::ULongLong TmxApp_i::elapsedTime()
{
  // Widening a negative difference keeps its two's-complement bits, so a
  // clock set back reads as a huge count rather than a small wrong one.
  const std::int64_t seconds = app_->elapsedTime();
  return static_cast<CORBA::ULongLong>(seconds);
}

void TmxApp_i::disconnect(const char *reason)
{
  ACE_DEBUG((LM_DEBUG, "**** TmxApp_i got disconnected due to %s\n", reason ? reason : ""));
}
