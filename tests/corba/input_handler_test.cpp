// Console input: pieces of at most 510 characters, "quit" by its first four
// characters, published lines as nested Event_Comm::Event values, end of
// input. Lines come through a pipe; values go to a recording sink.
#include "corba/InputHandler.h"
#include "tests/corba/CorbaTestUtil.h"
#include "tests/support/OrbEnvironment.h"

#include <ace/Reactor.h>
#include <ace/Thread.h>
#include <gtest/gtest.h>

#include <thread>

using corba_test::CaptureFd;
using corba_test::RecordingSink;

namespace {

// Copying an any that holds a string needs an initialised ORB.
const auto *orbEnvironment = ::testing::AddGlobalTestEnvironment(new tmx::test::OrbEnvironment);

struct Pipe
{
  Pipe()
  {
    if (::pipe(fds) != 0)
      throw std::runtime_error("pipe");
  }
  ~Pipe()
  {
    closeWrite();
    ::close(fds[0]);
  }
  void write(const std::string &text)
  {
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0)
        throw std::runtime_error("write");
      done += static_cast<std::size_t>(n);
    }
  }
  void closeWrite()
  {
    if (fds[1] >= 0)
      ::close(fds[1]);
    fds[1] = -1;
  }
  int fds[2];
};

std::string tagOf(const CORBA::Any &value)
{
  const Event_Comm::Event *event;
  if (!(value >>= event))
    return "<not an Event_Comm::Event>";
  return event->tag_.in();
}

std::vector<std::string> tags(const RecordingSink &sink)
{
  std::vector<std::string> out;
  for (const auto &value : sink.values())
    out.push_back(tagOf(value));
  return out;
}

// Feeds text (then end of input) and calls handle_input the way the
// reactor would, until reading stops; returns the last result.
int feedAll(InputHandler &handler, Pipe &pipe, const std::string &text)
{
  pipe.write(text);
  pipe.closeWrite();
  int result = 0;
  for (int calls = 0; calls < 10000; ++calls) {
    result = handler.handle_input();
    if (result == -1)
      break;
  }
  return result;
}

class InputHandlerTest : public ::testing::Test
{
protected:
  Pipe pipe;
  RecordingSink sink;
  ACE_Reactor reactor;
  InputHandler handler{ pipe.fds[0] };

  void SetUp() override { ASSERT_EQ(0, handler.init(&sink, &reactor)); }
  void TearDown() override { handler.close(); }
};

TEST_F(InputHandlerTest, QuitByItsFirstFourCharactersRaisesTheTrigger)
{
  for (const char *line : { "quit", "quitting", "quit now" }) {
    Pipe p;
    RecordingSink s;
    InputHandler h(p.fds[0]);
    ASSERT_EQ(0, h.init(&s, &reactor));
    CaptureFd out(1);
    p.write(std::string(line) + "\nafter\n");
    EXPECT_EQ(-1, h.handle_input()) << line;
    EXPECT_TRUE(h.shutdown_trigger().isTriggered()) << line;
    // Reading has stopped: the next line is never taken.
    EXPECT_EQ(-1, h.handle_input()) << line;
    EXPECT_TRUE(s.values().empty()) << line;
    EXPECT_EQ("queuing for event " + std::string(line) + "\n", out.text()) << line;
    h.close();
  }
}

TEST_F(InputHandlerTest, OtherLinesArePublishedAsNestedEvents)
{
  CaptureFd out(1);
  feedAll(handler, pipe, "Quit\n quit\n\nhello world\n");
  EXPECT_FALSE(handler.shutdown_trigger().isTriggered());
  EXPECT_EQ((std::vector<std::string>{ "Quit", " quit", "", "hello world" }), tags(sink));
  EXPECT_EQ("queuing for event Quit\nqueuing for event  quit\nqueuing for event \n"
            "queuing for event hello world\nshutting down InputHandler\n",
            out.text());

  const auto values = sink.values();
  const Event_Comm::Event *event;
  ASSERT_TRUE(values.at(3) >>= event);
  CORBA::TypeCode_var inner = event->value_.type();
  EXPECT_EQ(CORBA::tk_null, inner->kind());
  EXPECT_TRUE(CORBA::is_nil(event->object_ref_.in()));
}

TEST_F(InputHandlerTest, LongLineArrivesInPiecesOf510)
{
  feedAll(handler, pipe, std::string(600, 'a') + "\n" + std::string(510, 'b') + "\n");
  auto t = tags(sink);
  ASSERT_EQ(4u, t.size());
  EXPECT_EQ(std::string(510, 'a'), t[0]);
  EXPECT_EQ(std::string(90, 'a'), t[1]);
  // Exactly 510 characters fill a piece; the newline then reads as an
  // empty line of its own.
  EXPECT_EQ(std::string(510, 'b'), t[2]);
  EXPECT_EQ("", t[3]);
}

TEST_F(InputHandlerTest, EndOfInputStopsReadingOnceAndKeepsAPartialLine)
{
  CaptureFd out(1);
  EXPECT_EQ(-1, feedAll(handler, pipe, "last line without newline"));
  EXPECT_EQ(-1, handler.handle_input());
  EXPECT_EQ((std::vector<std::string>{ "last line without newline" }), tags(sink));
  const std::string text = out.text();
  EXPECT_EQ(text.find("shutting down InputHandler\n"), text.rfind("shutting down InputHandler\n"));
  EXPECT_NE(std::string::npos, text.find("shutting down InputHandler\n"));
  EXPECT_FALSE(handler.shutdown_trigger().isTriggered());
}

TEST_F(InputHandlerTest, EmptyInputOnlyShutsDown)
{
  CaptureFd out(1);
  EXPECT_EQ(-1, feedAll(handler, pipe, ""));
  EXPECT_EQ("shutting down InputHandler\n", out.text());
  EXPECT_TRUE(sink.values().empty());
}

// Many lines arriving in one burst are all taken, in order, although the
// descriptor becomes readable only once.
TEST(InputHandlerReactorTest, ReactorTakesEveryBufferedLine)
{
  Pipe pipe;
  RecordingSink sink;
  ACE_Reactor reactor;
  InputHandler handler(pipe.fds[0]);
  ASSERT_EQ(0, handler.init(&sink, &reactor));
  std::thread loop([&] {
    reactor.owner(ACE_Thread::self());
    reactor.run_reactor_event_loop();
  });
  std::string burst;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    expected.push_back("line " + std::to_string(i));
    burst += expected.back() + "\n";
  }
  pipe.write(burst);
  EXPECT_TRUE(sink.waitCount(expected.size()));
  pipe.write("quit\n");
  EXPECT_TRUE(corba_test::eventually([&] { return handler.shutdown_trigger().isTriggered() != 0; }));
  reactor.end_reactor_event_loop();
  loop.join();
  EXPECT_EQ(expected, tags(sink));
  CaptureFd out(1);
  // The handler left the reactor when it returned -1 after "quit".
  EXPECT_EQ(-1, handler.close());
  EXPECT_EQ("closing down Supplier::InputHandler\n", out.text());
}

} // namespace
