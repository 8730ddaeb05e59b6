// The monitor application object without its CORBA side: how shutdown
// requests are reported.
#include "app/TmxApp.h"
#include "framework/ErrorHandler.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using tmx::test::CaptureFd;
using tmx::test::countOccurrences;

namespace {

} // namespace

// The event task and the idle state machine may both report one request
// (quit, SIGTERM) at once: it is logged once.
TEST(TmxApp, OneShutdownRequestIsLoggedOnce)
{
  traceLevel = 1;
  TmxApp app;
  CaptureFd captured(1);
  std::thread eventTask([&] { app.requestShutdown(); });
  app.requestShutdown();
  eventTask.join();
  app.requestShutdown();
  const std::string out = captured.release();
  EXPECT_TRUE(app.shutdownRequested());
  EXPECT_EQ(countOccurrences(out, "Application shutdown requested\n"), 1u) << out;
}
