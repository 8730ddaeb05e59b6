// The monitor application object without its CORBA side: how shutdown
// requests are reported.
#include "app/TmxApp.h"
#include "framework/ErrorHandler.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

std::size_t countOccurrences(const std::string &text, const std::string &what)
{
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
    ++n;
  return n;
}

} // namespace

// The event task and the idle state machine may both report one request
// (quit, SIGTERM) at once: it is logged once.
TEST(TmxApp, OneShutdownRequestIsLoggedOnce)
{
  traceLevel = 1;
  TmxApp app;
  testing::internal::CaptureStdout();
  std::thread eventTask([&] { app.requestShutdown(); });
  app.requestShutdown();
  eventTask.join();
  app.requestShutdown();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(app.shutdownRequested());
  EXPECT_EQ(countOccurrences(out, "Application shutdown requested\n"), 1u) << out;
}
