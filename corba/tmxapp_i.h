// Servant of TMX::System: tells a client how long the monitor has been
// running and logs a client's disconnect.
#pragma once

#include <TMX.hh>

#include <cstdint>

// Anything that can say how many seconds have passed since it recorded its
// start time (the application, or a stand-in in tests).
class ElapsedTimeSource
{
public:
  virtual ~ElapsedTimeSource();
  // Current time minus the recorded start time, in signed 32-bit seconds.
  virtual std::int32_t elapsedTime() = 0;
};

class TmxApp_i : public POA_TMX::System
{
public:
  // The source is not owned and must outlive the servant; it is not checked.
  explicit TmxApp_i(ElapsedTimeSource *app);
  ~TmxApp_i() override;

  // The source's signed 32-bit difference, sign-extended to 64 bits.
  CORBA::ULongLong elapsedTime() override;
  // Logs "**** TmxApp_i got disconnected due to <reason>" at LM_DEBUG;
  // nothing else changes.
  void disconnect(const char *reason) override;

private:
  ElapsedTimeSource *const app_;
};
