// A device's poller: the latest value while fresh, then a failure naming
// the device, the age of its last value and the reason.
#include "platform/spectrum/Poller.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace spectrum;
using tmx::test::eventually;

namespace {

// What the fake device answers; set by the test, read by the poller.
struct Answer
{
  std::mutex mutex;
  Reading reading;
};

class FakeSource : public Source
{
public:
  explicit FakeSource(std::shared_ptr<Answer> answer)
    : answer_(std::move(answer))
  {
  }
  void read(std::size_t, Reading out[channelCount]) override
  {
    std::lock_guard<std::mutex> lock(answer_->mutex);
    out[0] = answer_->reading;
  }

private:
  std::shared_ptr<Answer> answer_;
};

TEST(Poller, StaleValueFailsWithDeviceAgeAndReasonAndComesBack)
{
  auto answer = std::make_shared<Answer>();
  auto set = [&](bool ok, double value, const std::string &reason) {
    std::lock_guard<std::mutex> lock(answer->mutex);
    answer->reading = Reading{ ok, value, reason };
  };
  set(true, 20.0, "");
  const auto base = std::chrono::steady_clock::now();
  std::atomic<long long> elapsedMs{ 0 };
  Clock clock = [&] { return base + std::chrono::milliseconds(elapsedMs.load()); };

  LoggersFile file;
  unsigned line = 0;
  std::string problem;
  ASSERT_TRUE(parseLoggers("logger 1 A modbus-tcp host=127.0.0.1 port=1 period=10 stale=10 temp=input:0\n",
                           "/sys",
                           file,
                           line,
                           problem));
  Poller poller(std::make_unique<FakeSource>(answer), file.loggers, clock);
  ASSERT_TRUE(eventually([&] { return poller.latest(0, 0).ok; }));
  EXPECT_DOUBLE_EQ(20.0, poller.latest(0, 0).value);

  // Failing polls keep the last value while it is not older than `stale`.
  set(false, 0, "Connection refused");
  unsigned long polls = poller.polls();
  ASSERT_TRUE(eventually([&] { return poller.polls() >= polls + 2; }));
  EXPECT_TRUE(poller.latest(0, 0).ok);
  elapsedMs = 12500;
  Reading stale = poller.latest(0, 0);
  EXPECT_FALSE(stale.ok);
  EXPECT_EQ("no reading from 127.0.0.1:1 unit 1 for 12 s: Connection refused", stale.reason);

  set(true, 21.0, "");
  EXPECT_TRUE(eventually([&] { return poller.latest(0, 0).ok && poller.latest(0, 0).value == 21.0; }));
}

} // namespace
