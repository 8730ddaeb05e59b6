// The simulation source: options, schedule file, pacing and the values it
// queues. No ORB or naming service is needed: values stay in the queue.
#include "corba/Event_Sup.h"
#include "tests/corba/CorbaTestUtil.h"

#include <TMX.hh>
#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using corba_test::Args;
using corba_test::CaptureFd;

namespace {

class GeneratorTest : public ::testing::Test
{
protected:
  std::string writeFile(const std::string &text)
  {
    return dir_.write("schedule" + std::to_string(++files_), text);
  }

  // Parses the options; the generator then records its pacing waits
  // instead of sleeping.
  int parse(std::vector<std::string> options)
  {
    options.insert(options.begin(), "tmx");
    Args args(options);
    int result = supplier.generator().parse_args(args.argc, args.argv());
    supplier.generator().set_sleeper([this](std::uint64_t ms) { waits.push_back(ms); });
    return result;
  }

  ACE_Thread_Manager threads;
  Event_Supplier supplier{ &threads };
  std::vector<std::uint64_t> waits;
  tmx::test::TempDir dir_{ "tmx-schedule" };
  int files_ = 0;
};

std::string nameOf(const CORBA::Any &value)
{
  const TMX::Event *event;
  const TMX::Message *message;
  const TMX::HousekeepingData *housekeeping;
  const char *text;
  if (value >>= event)
    return std::string("Event:") + event->name.in();
  if (value >>= message)
    return std::string("Message:") + message->text.in();
  if (value >>= housekeeping)
    return "HousekeepingData";
  if (value >>= text)
    return std::string("string:") + text;
  return "?";
}

std::vector<std::string> queuedNames(Event_Supplier &supplier)
{
  std::vector<std::string> names;
  for (const auto &value : supplier.queued_values())
    names.push_back(nameOf(value));
  return names;
}

TEST_F(GeneratorTest, FileAndCountEnableTheGenerator)
{
  EXPECT_EQ(0, parse({ "-f", "sched.txt", "-m", "5" }));
  EXPECT_EQ(1, supplier.generator().enabled());
  EXPECT_EQ(5u, supplier.generator().count());
  EXPECT_EQ("sched.txt", supplier.generator().file_name());
}

TEST_F(GeneratorTest, FileWithoutCountLeavesTheGeneratorOff)
{
  EXPECT_EQ(0, parse({ "-f", "sched.txt" }));
  EXPECT_EQ(0, supplier.generator().enabled());
}

TEST_F(GeneratorTest, CountsThatAreNotPositiveFail)
{
  for (const char *count : { "0", "-3", "abc" }) {
    ACE_Thread_Manager threads;
    Event_Supplier fresh(&threads);
    Args args({ "tmx", "-m", count });
    CaptureFd err(2);
    // A handler is not needed to fail: the options are parsed first.
    EXPECT_EQ(-1, fresh.init(args.argc, args.argv(), nullptr)) << count;
    EXPECT_NE(std::string::npos, err.text().find("tmx: count must be > 0")) << count;
    EXPECT_EQ(0, fresh.generator().enabled()) << count;
  }
}

TEST_F(GeneratorTest, EmptyFileNameFails)
{
  CaptureFd err(2);
  EXPECT_EQ(1, parse({ "-f", "" }));
  EXPECT_NE(std::string::npos, err.text().find("tmx: file name must be specified with -f option"));
  EXPECT_EQ("", supplier.generator().file_name());
}

TEST_F(GeneratorTest, CountWithoutFileYieldsNoData)
{
  ASSERT_EQ(0, parse({ "-m", "3" }));
  CaptureFd err(2);
  supplier.generator().start_generating_events();
  const std::string text = err.text();
  const auto first = text.find("Event_Supplier::start_generating_events: no input file specified\n");
  const auto second = text.find("Event_Supplier::start_generating_events: there is no simulation data\n");
  EXPECT_NE(std::string::npos, first);
  EXPECT_NE(std::string::npos, second);
  EXPECT_LT(first, second);
  EXPECT_EQ(0u, supplier.queue_length());
}

TEST_F(GeneratorTest, MissingFileAndBlankFileYieldNoData)
{
  ASSERT_EQ(0, parse({ "-f", "/nonexistent/schedule", "-m", "3" }));
  {
    CaptureFd err(2);
    supplier.generator().start_generating_events();
    EXPECT_NE(std::string::npos, err.text().find("could not open input file [/nonexistent/schedule].\n"));
  }
  const std::string blank = writeFile("\n   \n\t\n");
  ACE_Thread_Manager threads;
  Event_Supplier other(&threads);
  Args args({ "tmx", "-f", blank, "-m", "3" });
  ASSERT_EQ(0, other.generator().parse_args(args.argc, args.argv()));
  CaptureFd err(2);
  other.generator().start_generating_events();
  EXPECT_NE(std::string::npos, err.text().find("there is no simulation data"));
  EXPECT_EQ(0u, other.queue_length());
}

TEST_F(GeneratorTest, PacingFollowsTheOffsetsInCycles)
{
  // Offsets of 1 s, 2 s and 0.5 s, replayed for five values.
  const std::string file = writeFile("HEATON 1.0 2.0 1 2 1000000 4\n"
                                     "  MESSAGE 0 0 0 0 2000000 0\n"
                                     "\n"
                                     "heaton 0 0 0 0 500000 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "5" }));
  supplier.generator().start_generating_events();
  EXPECT_EQ((std::vector<std::uint64_t>{ 1000, 1000, 500, 500, 1000 }), waits);
  EXPECT_EQ((std::vector<std::string>{ "Event:HEATON",
                                       "Message:THIS IS A TEST MESSAGE",
                                       "string:heaton",
                                       "Event:HEATON",
                                       "Message:THIS IS A TEST MESSAGE" }),
            queuedNames(supplier));
}

TEST_F(GeneratorTest, EqualOffsetsGiveNoWait)
{
  const std::string file = writeFile("A 0 0 0 0 700000 0\nB 0 0 0 0 700000 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "3" }));
  supplier.generator().start_generating_events();
  // 0.7 s, then equal offsets, also across the start of a new cycle.
  EXPECT_EQ((std::vector<std::uint64_t>{ 700, 0, 0 }), waits);
}

TEST_F(GeneratorTest, RecordsCarryTheirFixedValues)
{
  const std::string file = writeFile("ALARM 0 0 0 0 0 0\nHOUSEKEEPINGDATA 0 0 0 0 0 0\nHEATON 0 0 0 0 0 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "3" }));
  const auto before = static_cast<TimeBase::TimeT>(std::time(nullptr));
  supplier.generator().start_generating_events();
  const auto after = static_cast<TimeBase::TimeT>(std::time(nullptr));
  auto values = supplier.queued_values();
  ASSERT_EQ(3u, values.size());

  const TMX::Message *alarm;
  ASSERT_TRUE(values[0] >>= alarm);
  EXPECT_STREQ("THIS IS A TEST ALARM", alarm->text.in());
  EXPECT_EQ(ALARM, alarm->priority);
  EXPECT_GE(alarm->arrival_time, before);
  EXPECT_LE(alarm->arrival_time, after);

  const TMX::HousekeepingData *hk;
  ASSERT_TRUE(values[1] >>= hk);
  EXPECT_EQ(SPECTROGRAPH_HOUSING, hk->id);
  EXPECT_DOUBLE_EQ(25.5, hk->temp);
  EXPECT_DOUBLE_EQ(80.1, hk->rh);
  EXPECT_TRUE(hk->wateralarm);
  EXPECT_GE(hk->readingTime, before);

  const TMX::Event *event;
  ASSERT_TRUE(values[2] >>= event);
  EXPECT_STREQ("HEATON", event->name.in());
  EXPECT_EQ(0, event->id);
  EXPECT_GE(event->arrival_time, before);
  EXPECT_LE(event->arrival_time, after + 1);
}

TEST_F(GeneratorTest, OffsetsBeyond32BitsArePacedExactly)
{
  // Differences of 3,999 s (beyond 2^31 us) and of 10,000 s (offset beyond
  // 2^32 us) in both directions of a cycle.
  const std::string file = writeFile("A 0 0 0 0 1000000 0\n"
                                     "B 0 0 0 0 4000000000 0\n"
                                     "C 0 0 0 0 14000000000 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "4" }));
  supplier.generator().start_generating_events();
  EXPECT_EQ((std::vector<std::uint64_t>{ 1000, 3999000, 10000000, 1000 }), waits);
}

TEST_F(GeneratorTest, LongUnknownNameIsPublishedWhole)
{
  const std::string name(300, 'x');
  const std::string file = writeFile(name + " 0 0 0 0 0 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "1" }));
  supplier.generator().start_generating_events();
  auto values = supplier.queued_values();
  ASSERT_EQ(1u, values.size());
  const char *text;
  ASSERT_TRUE(values[0] >>= text);
  EXPECT_EQ(name, text);
}

TEST_F(GeneratorTest, BadLineEndsReadingAndEarlierEntriesAreUsed)
{
  // A negative offset is refused rather than wrapped to a wait of ages:
  // five fields were read before it.
  const std::string file = writeFile("GOOD 0 0 0 0 0 0\n"
                                     "BAD 0 0 0 0 -5 0\n"
                                     "LATER 0 0 0 0 0 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "2" }));
  CaptureFd err(2);
  supplier.generator().start_generating_events();
  EXPECT_NE(std::string::npos, err.text().find("scanned incorrect number of data elements: 5\n"));
  EXPECT_EQ((std::vector<std::string>{ "string:GOOD", "string:GOOD" }), queuedNames(supplier));
}

TEST_F(GeneratorTest, OverlongLineIsReadInPieces)
{
  // 600 characters without a blank: the first 511 form a piece that holds
  // only a name.
  const std::string file = writeFile("FIRST 0 0 0 0 0 0\n" + std::string(600, 'y') + " 0 0 0 0 0 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "1" }));
  CaptureFd err(2);
  supplier.generator().start_generating_events();
  EXPECT_NE(std::string::npos, err.text().find("scanned incorrect number of data elements: 1\n"));
  EXPECT_EQ((std::vector<std::string>{ "string:FIRST" }), queuedNames(supplier));
}

TEST_F(GeneratorTest, StopCutsAPacingWaitShort)
{
  const std::string file = writeFile("LONG 0 0 0 0 600000000 0\n");
  ASSERT_EQ(0, parse({ "-f", file, "-m", "5" }));
  supplier.generator().set_sleeper(nullptr); // the real, interruptible wait
  ASSERT_EQ(0, supplier.generator().activate(0, 1, 0, 0, -1));
  supplier.generator().stop();
  const auto start = std::chrono::steady_clock::now();
  supplier.generator().wait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The step in progress completes: one value.
  EXPECT_EQ(1u, supplier.queue_length());
}

// Before any ORB exists omniORB cannot marshal strings; the queue still
// takes the records this system publishes and refuses anything else
// instead of crashing.
TEST_F(GeneratorTest, QueueBeforeTheOrbKeepsRecordsAndDropsOtherValues)
{
  TMX::Message message;
  message.text = CORBA::string_dup("early notice");
  message.priority = MESSAGE;
  message.arrival_time = 7;
  CORBA::Any value;
  value <<= message;
  supplier.queue_event(value);
  CORBA::Any number;
  number <<= CORBA::ULong(5);
  CaptureFd err(2);
  supplier.queue_event(number);
  EXPECT_NE(std::string::npos, err.text().find("Event_Supplier::queue_event: value dropped"));
  EXPECT_EQ((std::vector<std::string>{ "Message:early notice" }), queuedNames(supplier));
}

using GeneratorDeathTest = GeneratorTest;

TEST_F(GeneratorDeathTest, UnknownOptionPrintsUsageAndExitsWith2)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(parse({ "-x" }), ::testing::ExitedWithCode(2), "Usage: tmx \\[\\[-\\?\\]");
  EXPECT_EXIT(parse({ "-f" }), ::testing::ExitedWithCode(2), "Usage: tmx");
  EXPECT_EXIT(parse({ "-m", "2", "-ORBport", "9" }), ::testing::ExitedWithCode(2), "Usage: tmx");
}

TEST_F(GeneratorDeathTest, QuestionMarkPrintsUsageAndExitsWith0)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(parse({ "-?" }), ::testing::ExitedWithCode(0), "schedler input data file\\]\\]");
}

} // namespace
