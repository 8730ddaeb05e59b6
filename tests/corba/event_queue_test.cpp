// The event queue's bound: which values an overflow drops, how it is
// reported, order across kinds, and refusal once the supplier has stopped.
// No ORB or thread is needed: values stay in the queue.
#include "corba/Event_Queue.h"
#include "corba/Event_Sup.h"
#include "tests/corba/CorbaTestUtil.h"

#include <TMX.hh>
#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using corba_test::CaptureFd;
using tmx::test::countOccurrences;

namespace {

// "L3" is console line 3, "H3" housekeeping record 3, "M3" message 3.
CORBA::Any valueOf(const std::string &name)
{
  CORBA::Any value;
  const std::string number = name.substr(1);
  if (name[0] == 'L') {
    Event_Comm::Event line;
    line.tag_ = CORBA::string_dup(number.c_str());
    line.object_ref_ = CORBA::Object::_nil();
    value <<= line;
  } else if (name[0] == 'H') {
    TMX::HousekeepingData record{};
    record.readingTime = std::stoll(number);
    value <<= record;
  } else {
    TMX::Message message;
    message.text = CORBA::string_dup(number.c_str());
    message.priority = ALARM;
    message.arrival_time = 0;
    value <<= message;
  }
  return value;
}

std::string nameOf(const CORBA::Any &value)
{
  const Event_Comm::Event *line;
  const TMX::HousekeepingData *record;
  const TMX::Message *message;
  if (value >>= line)
    return "L" + std::string(line->tag_.in());
  if (value >>= record)
    return "H" + std::to_string(record->readingTime);
  if (value >>= message)
    return "M" + std::string(message->text.in());
  return "?";
}

std::vector<std::string> queuedNames(const Event_Supplier &supplier)
{
  std::vector<std::string> names;
  for (const auto &value : supplier.queued_values())
    names.push_back(nameOf(value));
  return names;
}

struct OverflowCase
{
  const char *what;
  std::size_t limit;
  std::vector<std::string> queued;
  std::vector<std::string> kept;
  const char *report; // empty: no overflow report
};

void PrintTo(const OverflowCase &c, std::ostream *os)
{
  *os << c.what;
}

class EventQueueOverflow : public ::testing::TestWithParam<OverflowCase>
{};

// The report of an episode comes when it ends; stop ends an open one.
TEST_P(EventQueueOverflow, DropsTheOldestConsoleLinesFirstAndReportsOnce)
{
  const OverflowCase &c = GetParam();
  ACE_Thread_Manager threads;
  Event_Supplier supplier(&threads);
  supplier.set_queue_limit(c.limit);
  CaptureFd out(1);
  for (const auto &name : c.queued)
    supplier.queue_event(valueOf(name));
  EXPECT_EQ(c.kept, queuedNames(supplier));
  supplier.stop();
  const std::string text = out.text();
  EXPECT_EQ(*c.report ? 1u : 0u, countOccurrences(text, "ERROR: Event queue full")) << text;
  if (*c.report) {
    EXPECT_NE(std::string::npos, text.find(c.report)) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
  Cases,
  EventQueueOverflow,
  ::testing::Values(
    OverflowCase{ "UpToTheLimitNothingGoes", 3, { "L0", "H1", "M2" }, { "L0", "H1", "M2" }, "" },
    OverflowCase{ "OldestLinesGoFirst",
                  3,
                  { "L0", "H1", "L2", "M3", "L4" },
                  { "H1", "M3", "L4" },
                  "ERROR: Event queue full (3 values): 2 console lines and 0 housekeeping records or "
                  "messages dropped\n" },
    OverflowCase{ "ANewLineGoesWhenOnlyRecordsAreQueued",
                  2,
                  { "H0", "M1", "L2", "L3" },
                  { "H0", "M1" },
                  "(2 values): 2 console lines and 0 housekeeping" },
    OverflowCase{ "RecordsGoOnlyWhenNothingElseIsQueued",
                  3,
                  { "L0", "L1", "H2", "H3", "H4", "M5" },
                  { "H3", "H4", "M5" },
                  "(3 values): 2 console lines and 1 housekeeping records or messages dropped" }),
  [](const auto &info) { return std::string(info.param.what); });

TEST(EventQueue, KeepsArrivalOrderAcrossKindsAndAFailedValueGoesBackFirst)
{
  Event_Queue queue(10);
  for (const char *name : { "L0", "H1", "L2", "M3", "H4" }) {
    CORBA::Any value = valueOf(name);
    queue.push(value, name[0] == 'L' ? Event_Queue::Kind::line : Event_Queue::Kind::record);
  }
  Event_Queue::Entry entry;
  ASSERT_TRUE(queue.take(entry));
  EXPECT_EQ("L0", nameOf(entry.value));
  queue.put_back(entry);
  std::vector<std::string> taken;
  while (queue.take(entry))
    taken.push_back(nameOf(entry.value));
  EXPECT_EQ((std::vector<std::string>{ "L0", "H1", "L2", "M3", "H4" }), taken);
}

// A value returned after a failed push counts towards the limit like any
// other: the oldest line goes, even when that is the returned value.
TEST(EventQueue, AValuePutBackIntoAFullQueueFollowsTheDropRule)
{
  struct Case
  {
    std::vector<std::string> queued; // the first is taken, the rest queued after
    std::vector<std::string> kept;
  } cases[] = { { { "L0", "H1", "L2" }, { "H1", "L2" } }, { { "H0", "L1", "L2" }, { "H0", "L2" } } };
  for (const auto &c : cases) {
    Event_Queue queue(2);
    auto kindOf = [](const std::string &n) {
      return n[0] == 'L' ? Event_Queue::Kind::line : Event_Queue::Kind::record;
    };
    CORBA::Any first = valueOf(c.queued[0]);
    queue.push(first, kindOf(c.queued[0]));
    Event_Queue::Entry entry;
    ASSERT_TRUE(queue.take(entry));
    for (std::size_t i = 1; i < c.queued.size(); ++i) {
      CORBA::Any value = valueOf(c.queued[i]);
      queue.push(value, kindOf(c.queued[i]));
    }
    queue.put_back(entry);
    std::vector<std::string> kept;
    queue.for_each([&](const Event_Queue::Entry &e) { kept.push_back(nameOf(e.value)); });
    EXPECT_EQ(c.kept, kept) << c.queued[0];
    Event_Queue::Drops drops;
    ASSERT_TRUE(queue.end_episode(drops));
    EXPECT_EQ(1u, drops.lines);
    EXPECT_EQ(0u, drops.records);
  }
}

// An episode lasts while the queue stays above half its limit, however
// many values go meanwhile; the next overflow after that is a new one.
TEST(EventQueue, AnEpisodeEndsOnceTheQueueHasDrainedToHalfItsLimit)
{
  Event_Queue queue(4);
  auto line = [&queue] {
    CORBA::Any value = valueOf("L0");
    queue.push(value, Event_Queue::Kind::line);
  };
  Event_Queue::Drops drops;
  Event_Queue::Entry entry;
  for (int i = 0; i < 10; ++i)
    line();
  EXPECT_TRUE(queue.in_episode());
  ASSERT_TRUE(queue.take(entry));
  EXPECT_FALSE(queue.episode_ended(drops)); // 3 left: above half
  line();
  line(); // one more dropped in the same episode
  ASSERT_TRUE(queue.take(entry));
  ASSERT_TRUE(queue.take(entry));
  ASSERT_TRUE(queue.episode_ended(drops)); // 2 left
  EXPECT_EQ(7u, drops.lines);
  EXPECT_FALSE(queue.episode_ended(drops));
  line();
  line();
  line(); // a second episode
  ASSERT_TRUE(queue.end_episode(drops));
  EXPECT_EQ(1u, drops.lines);
  EXPECT_FALSE(queue.end_episode(drops));
}

// Once stopped (the CORBA side is shut down), nothing more is queued, of
// any kind, and that is said once however many values come.
TEST(EventSupplierQueue, NothingIsQueuedAfterStopAndThatIsSaidOnce)
{
  ACE_Thread_Manager threads;
  Event_Supplier supplier(&threads);
  supplier.queue_event(valueOf("H0"));
  CaptureFd out(1);
  supplier.stop();
  for (const char *name : { "L1", "H2", "M3", "L4" })
    supplier.queue_event(valueOf(name));
  EXPECT_EQ((std::vector<std::string>{ "H0" }), queuedNames(supplier));
  EXPECT_EQ(1u, countOccurrences(out.text(), "Publishing stopped: values are no longer queued\n"))
    << out.text();
}

TEST(EventSupplierQueue, ALimitIsAPositiveDecimalCount)
{
  const struct
  {
    const char *text;
    bool ok;
    std::size_t limit;
  } cases[] = { { "10000", true, 10000 }, { "1", true, 1 },   { "0", false, 7 },
                { "-5", false, 7 },       { "+5", false, 7 }, { "12k", false, 7 },
                { "", false, 7 },         { " 5", false, 7 }, { "99999999999999999999999", false, 7 } };
  for (const auto &c : cases) {
    std::size_t limit = 7;
    EXPECT_EQ(c.ok, Event_Supplier::parse_queue_limit(c.text, limit)) << c.text;
    EXPECT_EQ(c.limit, limit) << c.text;
  }
}

} // namespace
