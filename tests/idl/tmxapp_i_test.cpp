// TMX::System servant, called directly and through the POA.
#include "corba/tmxapp_i.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {

class FixedSource : public ElapsedTimeSource
{
public:
  std::int32_t elapsedTime() override
  {
    ++calls;
    return value;
  }
  std::atomic<std::int32_t> value{ 0 };
  std::atomic<int> calls{ 0 };
};

// Collects the records that ACE logs on the current thread.
class LogCapture : public ACE_Log_Msg_Callback
{
public:
  LogCapture()
  {
    ACE_Log_Msg *log = ACE_LOG_MSG;
    previous_ = log->msg_callback(this);
    oldFlags_ = log->flags();
    log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    log->clr_flags(ACE_Log_Msg::STDERR);
  }
  ~LogCapture() override
  {
    ACE_Log_Msg *log = ACE_LOG_MSG;
    log->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
    log->set_flags(oldFlags_);
    log->msg_callback(previous_);
  }
  void log(ACE_Log_Record &record) override
  {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.push_back({ record.type(), record.msg_data() });
  }
  struct Record
  {
    ACE_UINT32 type;
    std::string text;
  };
  std::vector<Record> records()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
  }

private:
  std::mutex mutex_;
  std::vector<Record> records_;
  ACE_Log_Msg_Callback *previous_ = nullptr;
  unsigned long oldFlags_ = 0;
};

TEST(TmxAppServant, ElapsedTimeIsTheSourcesSecondsReadAnewEachCall)
{
  FixedSource source;
  TmxApp_i servant(&source);
  EXPECT_EQ(servant.elapsedTime(), 0u) << "same second as the start time";
  source.value = 75;
  EXPECT_EQ(servant.elapsedTime(), 75u);
  source.value = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(servant.elapsedTime(), 2147483647u);
  EXPECT_EQ(source.calls, 3);
}

TEST(TmxAppServant, NegativeDifferenceIsSignExtended)
{
  FixedSource source;
  TmxApp_i servant(&source);
  source.value = -1;
  EXPECT_EQ(servant.elapsedTime(), 0xFFFFFFFFFFFFFFFFull);
  source.value = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(servant.elapsedTime(), 0xFFFFFFFF80000000ull);
}

TEST(TmxAppServant, DisconnectLogsOneDebugRecordPerCallAndChangesNothing)
{
  FixedSource source;
  source.value = 12;
  TmxApp_i servant(&source);
  LogCapture capture;
  servant.disconnect("TMXInterface_Server shutdown.");
  servant.disconnect("");
  EXPECT_EQ(servant.elapsedTime(), 12u);

  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, static_cast<ACE_UINT32>(LM_DEBUG));
  EXPECT_EQ(records[0].text, "**** TmxApp_i got disconnected due to TMXInterface_Server shutdown.\n");
  EXPECT_EQ(records[1].text, "**** TmxApp_i got disconnected due to \n");
}

TEST(TmxAppServant, AnswersThroughThePoa)
{
  int argc = 3;
  char arg0[] = "tmxapp_i_test", arg1[] = "-ORBendPoint", arg2[] = "giop:tcp:127.0.0.1:";
  char *argv[] = { arg0, arg1, arg2, nullptr };
  CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
  {
    CORBA::Object_var rootObject = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(rootObject);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();

    FixedSource source;
    source.value = 3600;
    TmxApp_i servant(&source);
    PortableServer::ObjectId_var id = poa->activate_object(&servant);
    CORBA::Object_var object = poa->id_to_reference(id.in());

    // Through a stringified reference, as a client of the naming service would.
    CORBA::String_var ior = orb->object_to_string(object);
    CORBA::Object_var fromString = orb->string_to_object(ior.in());
    TMX::System_var system = TMX::System::_narrow(fromString);
    ASSERT_FALSE(CORBA::is_nil(system));
    EXPECT_TRUE(system->_is_a("IDL:TMX/System:1.0"));
    EXPECT_EQ(system->elapsedTime(), 3600u);
    system->disconnect("client going away");
    source.value = -2;
    EXPECT_EQ(system->elapsedTime(), 0xFFFFFFFFFFFFFFFEull) << "still answers after disconnect";

    poa->deactivate_object(id.in());
    // Deactivation completes once no call is in progress; the servant is
    // destroyed after it.
    poa->destroy(true, true);
  }
  orb->destroy();
}

} // namespace
