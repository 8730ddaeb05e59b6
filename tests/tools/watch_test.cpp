// tmx-watch as a separate process, fed through a real tmx-notifier, and its
// formatting of every kind of value.
#include <cctype>
#include <gtest/gtest.h>

#include <COS/TimeBase.hh>

#include "tests/tools/ToolTest.h"
#include "tools/watch/EventFormat.h"

using namespace tmx::test;
using namespace tmx::tools;
using tmx::wire::escaped;
using tmx::wire::quoted;

namespace {

// Pushes one of each kind of value the monitor publishes, plus one it
// does not know.
void pushOneOfEach(Event_Comm::Notifier_ptr notifier)
{
  notifier->push(makeEvent("TMX", housekeepingValue(SPECTROGRAPH_HOUSING, 25.5, 80.1, true, 1714564800ULL)));
  notifier->push(makeEvent("TMX", messageValue("THIS IS A \"TEST\" ALARM", ALARM, 1714564801ULL)));
  notifier->push(makeEvent("TMX", eventValue(7, "HEATON", 1714564802ULL)));
  notifier->push(makeEvent("TMX", consoleValue("hello\tworld")));
  notifier->push(makeEvent("TMX", stringValue("heaton")));
  TimeBase::IntervalT interval;
  interval.lower_bound = 1;
  interval.upper_bound = 2;
  CORBA::Any other;
  other <<= interval;
  notifier->push(makeEvent("TMX", other));
}

struct WatchRun
{
  WatchRun(NotifierSetup &s, const std::vector<std::string> &options)
  {
    watch = std::make_unique<ChildProcess>(programArgs("tmx-watch", s.env.orbArgs(), options));
    // Subscribed once the notifier says so.
    subscribed = s.env.notifier()->waitForErr("subscribed");
  }
  std::unique_ptr<ChildProcess> watch;
  bool subscribed = false;
};

// True for "2024-05-01T12:00:00.123Z".
bool isReceivedTime(const std::string &t)
{
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (t.size() != shape.size())
    return false;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(t[i])) : t[i] != shape[i])
      return false;
  return true;
}

// expected is literal text in which "@T" stands for the receive time.
void expectLine(const std::string &line, const std::string &expected)
{
  auto at = expected.find("@T");
  ASSERT_NE(std::string::npos, at);
  const std::size_t width = 24;
  bool ok = line.size() == expected.size() - 2 + width && line.compare(0, at, expected, 0, at) == 0 &&
            isReceivedTime(line.substr(at, width)) && line.substr(at + width) == expected.substr(at + 2);
  EXPECT_TRUE(ok) << "line:     " << line << "\nexpected: " << expected;
}

} // namespace

TEST(Watch, PrintsOneReadableLinePerKind)
{
  NotifierSetup s;
  WatchRun w(s, { "--count", "6" });
  ASSERT_TRUE(w.subscribed) << w.watch->err();
  pushOneOfEach(s.notifier);
  ExitStatus st = w.watch->wait();
  ASSERT_TRUE(st.ok()) << st.describe() << w.watch->err();
  ASSERT_TRUE(w.watch->waitForOutLines(6));
  auto lines = w.watch->outLines();
  ASSERT_EQ(6u, lines.size()) << w.watch->out();
  std::string r = "@T";
  expectLine(lines[0],
             r + R"( housekeeping tag="TMX" housing=SPECTROGRAPH_HOUSING temp=25.50 rh=80.10 )"
                 R"(wateralarm=yes readingTime=1714564800 (2024-05-01T12:00:00Z))");
  expectLine(lines[1],
             r + R"( message tag="TMX" priority=ALARM arrival_time=1714564801 )"
                 R"((2024-05-01T12:00:01) text="THIS IS A \"TEST\" ALARM")");
  expectLine(lines[2],
             r + R"( event tag="TMX" id=7 name="HEATON" arrival_time=1714564802 (2024-05-01T12:00:02Z))");
  expectLine(lines[3], r + R"( console tag="TMX" line="hello\tworld")");
  expectLine(lines[4], r + R"( string tag="TMX" value="heaton")");
  expectLine(lines[5], r + R"( IDL:omg.org/TimeBase/IntervalT:1.0 tag="TMX")");
}

TEST(Watch, JsonPrintsOneEscapedObjectPerLine)
{
  NotifierSetup s;
  WatchRun w(s, { "--json", "--count", "6" });
  ASSERT_TRUE(w.subscribed) << w.watch->err();
  pushOneOfEach(s.notifier);
  ASSERT_TRUE(w.watch->wait().ok()) << w.watch->err();
  ASSERT_TRUE(w.watch->waitForOutLines(6));
  auto lines = w.watch->outLines();
  ASSERT_EQ(6u, lines.size());
  std::string r = R"({"received":"@T",)";
  expectLine(lines[0],
             r + R"("kind":"housekeeping","type":"IDL:TMX/HousekeepingData:1.0","tag":"TMX",)"
                 R"("housing":"SPECTROGRAPH_HOUSING","temp":25.5,"rh":80.1,"wateralarm":true,)"
                 R"("readingTime":1714564800,"readingTimeUtc":"2024-05-01T12:00:00Z"})");
  expectLine(lines[1],
             r + R"("kind":"message","type":"IDL:TMX/Message:1.0","tag":"TMX","priority":"ALARM",)"
                 R"("arrival_time":1714564801,"arrival_timeLocal":"2024-05-01T12:00:01",)"
                 R"("text":"THIS IS A \"TEST\" ALARM"})");
  expectLine(lines[2],
             r + R"("kind":"event","type":"IDL:TMX/Event:1.0","tag":"TMX","id":7,"name":"HEATON",)"
                 R"("arrival_time":1714564802,"arrival_timeUtc":"2024-05-01T12:00:02Z"})");
  expectLine(lines[3],
             r + R"("kind":"console","type":"IDL:Event_Comm/Event:1.0","tag":"TMX",)"
                 R"("line":"hello\tworld"})");
  expectLine(lines[4], r + R"("kind":"string","tag":"TMX","value":"heaton"})");
  expectLine(lines[5], r + R"("kind":"unknown","type":"IDL:omg.org/TimeBase/IntervalT:1.0","tag":"TMX"})");
}

TEST(Watch, CsvPrintsHousekeepingRecordsOnly)
{
  NotifierSetup s;
  WatchRun w(s, { "--csv", "--count", "2" });
  ASSERT_TRUE(w.subscribed) << w.watch->err();
  pushOneOfEach(s.notifier);
  s.notifier->push(makeEvent("TMX", housekeepingValue(ELECTRONICS_HOUSING, -3.456, 0, false, 0)));
  ASSERT_TRUE(w.watch->wait().ok()) << w.watch->err();
  ASSERT_TRUE(w.watch->waitForOutLines(3));
  auto lines = w.watch->outLines();
  ASSERT_EQ(3u, lines.size()) << w.watch->out();
  EXPECT_EQ("received,housing,temp,rh,wateralarm,readingTime,readingTimeUtc", lines[0]);
  expectLine(lines[1],
             std::string("@T") + ",SPECTROGRAPH_HOUSING,25.50,80.10,1,1714564800,2024-05-01T12:00:00Z");
  expectLine(lines[2], std::string("@T") + ",ELECTRONICS_HOUSING,-3.46,0.00,0,0,1970-01-01T00:00:00Z");
}

TEST(Watch, CountExitsAndUnsubscribes)
{
  NotifierSetup s;
  WatchRun w(s, { "--count", "2", "--filter", "string" });
  ASSERT_TRUE(w.subscribed) << w.watch->err();
  s.notifier->push(makeEvent("TMX", eventValue(1, "not shown", 0)));
  for (int i = 0; i < 3; ++i)
    s.notifier->push(makeEvent("TMX", stringValue(("s" + std::to_string(i)).c_str())));
  ExitStatus st = w.watch->wait();
  EXPECT_TRUE(st.ok()) << st.describe();
  auto lines = w.watch->outLines();
  ASSERT_EQ(2u, lines.size()) << w.watch->out();
  EXPECT_NE(std::string::npos, lines[0].find("value=\"s0\""));
  EXPECT_NE(std::string::npos, lines[1].find("value=\"s1\""));
  EXPECT_TRUE(s.env.notifier()->waitForErr("consumer #1 unsubscribed"));
}

TEST(Watch, SigtermUnsubscribesAndNotifierShutdownEndsIt)
{
  NotifierSetup s;
  {
    WatchRun w(s, {});
    ASSERT_TRUE(w.subscribed);
    EXPECT_TRUE(w.watch->signal(SIGTERM));
    EXPECT_TRUE(w.watch->wait().ok());
    EXPECT_TRUE(s.env.notifier()->waitForErr("consumer #1 unsubscribed"));
  }
  WatchRun w(s, {});
  ASSERT_TRUE(s.env.notifier()->waitForErr("consumer #2 subscribed"));
  s.env.stopNotifier();
  ExitStatus st = w.watch->wait();
  EXPECT_TRUE(st.ok()) << st.describe();
  EXPECT_NE(std::string::npos,
            w.watch->err().find("disconnected by the notifier: tmx-notifier shutting down"));
}

TEST(Watch, ClosedOutputEndsItWithAnUnsubscribe)
{
  NotifierSetup s;
  std::vector<std::string> argv = programArgs("tmx-watch", s.env.orbArgs());
  argv.insert(argv.begin(), { "/bin/sh", "-c", "\"$0\" \"$@\" | head -n 1" });
  ChildProcess pipeline(argv);
  ASSERT_TRUE(s.env.notifier()->waitForErr("consumer #1 subscribed"));
  // head takes one line and leaves; a later write finds the pipe closed.
  bool gone = eventually(
    [&] {
      s.notifier->push(makeEvent("TMX", stringValue("x")));
      return s.env.notifier()->err().find("consumer #1 unsubscribed") != std::string::npos;
    },
    milliseconds(10000));
  EXPECT_TRUE(gone) << s.env.notifier()->err();
  EXPECT_TRUE(pipeline.wait().exited);
  EXPECT_EQ(1u, pipeline.outLines().size());
}

TEST(Watch, ClearErrorsAndExitCodes)
{
  CorbaEnv env;
  auto args = [&](std::vector<std::string> extra) { return programArgs("tmx-watch", env.orbArgs(), extra); };
  RunResult r = run(args({}));
  EXPECT_EQ(1, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("no notifier service is bound")) << r.err;

  env.startNotifier();
  r = run(args({ "--filter", "nonsense" }));
  EXPECT_EQ(1, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find("subscription refused: unknown filter term \"nonsense\"")) << r.err;

  r = run(args({ "--timeout", "1" }));
  EXPECT_EQ(3, r.status.code) << r.err;
  EXPECT_TRUE(env.notifier()->waitForErr("consumer #1 unsubscribed"));

  for (auto bad : std::vector<std::vector<std::string>>{ { "--count", "0" },
                                                         { "--count", "-3" },
                                                         { "--count", "abc" },
                                                         { "--json", "--csv" },
                                                         { "--what" } }) {
    r = run(args(bad));
    EXPECT_EQ(2, r.status.code) << bad[0];
    EXPECT_NE(std::string::npos, r.err.find("tmx-watch: ")) << r.err;
  }
  r = run({ binaryPath("tmx-watch"), "--help" });
  EXPECT_EQ(0, r.status.code);
  EXPECT_NE(std::string::npos, r.out.find("Exit status"));
}

TEST(WatchFormat, EscapesAndTimes)
{
  TestOrb orb({}); // CORBA::Any needs an initialised ORB
  EXPECT_EQ(R"("a\"b\\c\n\x01")", quoted("a\"b\\c\n\x01"));
  EXPECT_EQ(R"("a\"b\\c\n\u0001\u00e9")", jsonString("a\"b\\c\n\x01\xe9"));
  EXPECT_EQ("1970-01-01T00:00:00Z", isoUtcSeconds(0));
  EXPECT_EQ("2038-01-19T03:14:08Z", isoUtcSeconds(2147483648ULL));
  EXPECT_EQ("invalid", isoUtcSeconds(~0ULL));
  EXPECT_EQ("2024-05-01T12:00:01", isoLocalSeconds(1714564801ULL));
  EXPECT_EQ("invalid", isoLocalSeconds(~0ULL));
  EXPECT_EQ("1970-01-01T00:00:01.250Z", isoUtcMillis(SystemTime(std::chrono::milliseconds(1250))));

  // An out-of-range enum value still prints.
  CORBA::Any v = housekeepingValue(static_cast<HousingID>(1), 1.0 / 3, 2, false, ~0ULL);
  std::string line = formatText(makeEvent("", v), SystemTime());
  EXPECT_NE(std::string::npos,
            line.find("temp=0.33 rh=2.00 wateralarm=no readingTime=18446744073709551615 "
                      "(invalid)"))
    << line;
  EXPECT_NE(std::string::npos,
            formatJson(makeEvent("", v), SystemTime()).find("\"temp\":0.3333333333333333"));
  // Whole numbers without a fraction, as JSON writers commonly differ there.
  EXPECT_NE(
    std::string::npos,
    formatJson(makeEvent("", housekeepingValue(ELECTRONICS_HOUSING, 20, -1e-5, false, 0)), SystemTime())
      .find(R"("temp":20,"rh":-1e-05,)"));
  // An empty value and a nested event that carries a value of its own.
  EXPECT_EQ("1970-01-01T00:00:00.000Z empty tag=\"\"", formatText(makeEvent(""), SystemTime()));
  Event_Comm::Event nested = makeEvent("line", stringValue("x"));
  CORBA::Any outer;
  outer <<= nested;
  EXPECT_NE(std::string::npos,
            formatText(makeEvent("t", outer), SystemTime()).find("line=\"line\" value=string"));
  EXPECT_FALSE(formatCsv(makeEvent("t", outer), SystemTime()));
}

TEST(WatchFormat, EscapesControlCharactersInEveryTextFromTheWire)
{
  TestOrb orb({});
  // A value of a type whose repository id carries an escape sequence.
  CORBA::EnumMemberSeq members;
  members.length(1);
  members[0] = "A";
  CORBA::TypeCode_var tc = orb.orb()->create_enum_tc("IDL:x\x1b[2J\n:1.0", "E", members);
  CORBA::Object_var obj = orb.orb()->resolve_initial_references("DynAnyFactory");
  DynamicAny::DynAnyFactory_var factory = DynamicAny::DynAnyFactory::_narrow(obj);
  DynamicAny::DynAny_var dyn = factory->create_dyn_any_from_type_code(tc);
  CORBA::Any_var odd = dyn->to_any();
  dyn->destroy();

  EXPECT_EQ(R"(1970-01-01T00:00:00.000Z IDL:x\x1b[2J\n:1.0 tag="\x07\x7f")",
            formatText(makeEvent("\a\x7f", odd.in()), SystemTime()));
  CORBA::Any outer;
  outer <<= makeEvent("\x1b]0;title\x07", odd.in());
  EXPECT_EQ(R"(1970-01-01T00:00:00.000Z console tag="t" line="\x1b]0;title\x07" value=IDL:x\x1b[2J\n:1.0)",
            formatText(makeEvent("t", outer), SystemTime()));
  EXPECT_EQ(R"("text=\x1b\\")", quoted("text=\x1b\\"));
  EXPECT_EQ(R"(a"b\r)", escaped("a\"b\r"));
}

TEST(Watch, ReasonsFromTheNotifierArePrintedEscaped)
{
  CorbaEnv env;
  env.startNotifier();
  std::vector<std::string> argv = programArgs("tmx-watch", env.orbArgs(), { "--filter", "bad\x1b[2J" });
  RunResult r = run(argv);
  EXPECT_EQ(1, r.status.code);
  EXPECT_NE(std::string::npos, r.err.find(R"(subscription refused: unknown filter term "bad\x1b[2J")"))
    << r.err;
  EXPECT_EQ(std::string::npos, r.err.find('\x1b'));
}
