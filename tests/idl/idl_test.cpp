// Wire contract of the TMX and Event_Comm IDL: TypeCodes as marshalled,
// bounds and round trips of the published records.
#include "tests/support/OrbEnvironment.h"

#include <Event_Comm.hh>
#include <TMX.hh>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Marshalling needs the ORB's code-set set-up, so the ORB is initialised
// once for the whole binary.
const auto *const orbEnvironment = ::testing::AddGlobalTestEnvironment(new tmx::test::OrbEnvironment);

struct MarshalledTypeCode
{
  CORBA::ULong kind = 0;
  CORBA::ULong length = 0; // of the encapsulated parameter list
};

// Marshals the TypeCode alone and reads its kind and parameter list length
// back from the stream's own (native) byte order.
MarshalledTypeCode marshal(CORBA::TypeCode_ptr tc)
{
  cdrMemoryStream stream;
  CORBA::TypeCode::marshalTypeCode(tc, stream);
  const auto *bytes = static_cast<const unsigned char *>(stream.bufPtr());
  MarshalledTypeCode result;
  EXPECT_GE(stream.bufSize(), 8u);
  std::memcpy(&result.kind, bytes, 4);
  std::memcpy(&result.length, bytes + 4, 4);
  EXPECT_EQ(stream.bufSize(), 8u + result.length) << "one TypeCode, nothing after it";
  return result;
}

CORBA::ULong roundedUp(CORBA::ULong n)
{
  return (n + 3) & ~CORBA::ULong(3);
}

std::vector<std::string> memberNames(CORBA::TypeCode_ptr tc)
{
  std::vector<std::string> names;
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i)
    names.emplace_back(tc->member_name(i));
  return names;
}

// The value in an Any, marshalled and read back: the TypeCode travels
// with it.
template<class T>
CORBA::Any throughStream(const T &value)
{
  CORBA::Any any, back;
  any <<= value;
  cdrMemoryStream stream;
  any >>= stream;
  back <<= stream;
  return back;
}

using Names = std::vector<std::string>;

struct Expected
{
  const char *label;
  CORBA::TypeCode_ptr tc;
  CORBA::TCKind kind;
  const char *id;
  const char *name;
  CORBA::ULong length;
};

class TypeCodes : public ::testing::TestWithParam<int>
{};

const std::vector<Expected> &expectations()
{
  static const std::vector<Expected> all = {
    { "TMX::Event", TMX::_tc_Event, CORBA::tk_struct, "IDL:TMX/Event:1.0", "Event", 160 },
    { "TMX::Message", TMX::_tc_Message, CORBA::tk_struct, "IDL:TMX/Message:1.0", "Message", 264 },
    { "TMX::HousekeepingData",
      TMX::_tc_HousekeepingData,
      CORBA::tk_struct,
      "IDL:TMX/HousekeepingData:1.0",
      "HousekeepingData",
      408 },
    { "TMX::System", TMX::_tc_System, CORBA::tk_objref, "IDL:TMX/System:1.0", "System", 40 },
    { "TempType", _tc_TempType, CORBA::tk_alias, "IDL:TempType:1.0", "TempType", 48 },
    { "RhType", _tc_RhType, CORBA::tk_alias, "IDL:RhType:1.0", "RhType", 40 },
    { "HousingID", _tc_HousingID, CORBA::tk_enum, "IDL:HousingID:1.0", "HousingID", 100 },
    { "MessagePriority",
      _tc_MessagePriority,
      CORBA::tk_enum,
      "IDL:MessagePriority:1.0",
      "MessagePriority",
      92 },
    { "Event_Comm::Event",
      Event_Comm::_tc_Event,
      CORBA::tk_struct,
      "IDL:Event_Comm/Event:1.0",
      "Event",
      164 },
    { "Event_Comm::Consumer",
      Event_Comm::_tc_Consumer,
      CORBA::tk_objref,
      "IDL:Event_Comm/Consumer:1.0",
      "Consumer",
      52 },
    { "Event_Comm::Notifier",
      Event_Comm::_tc_Notifier,
      CORBA::tk_objref,
      "IDL:Event_Comm/Notifier:1.0",
      "Notifier",
      52 },
    { "CannotSubscribe",
      Event_Comm::Notifier::_tc_CannotSubscribe,
      CORBA::tk_except,
      "IDL:Event_Comm/Notifier/CannotSubscribe:1.0",
      "CannotSubscribe",
      96 },
    { "CannotUnsubscribe",
      Event_Comm::Notifier::_tc_CannotUnsubscribe,
      CORBA::tk_except,
      "IDL:Event_Comm/Notifier/CannotUnsubscribe:1.0",
      "CannotUnsubscribe",
      104 },
  };
  return all;
}

TEST_P(TypeCodes, IdNameKindAndEncapsulationLength)
{
  const Expected &e = expectations().at(GetParam());
  SCOPED_TRACE(e.label);
  EXPECT_EQ(e.tc->kind(), e.kind);
  EXPECT_STREQ(e.tc->id(), e.id);
  EXPECT_STREQ(e.tc->name(), e.name);
  const MarshalledTypeCode m = marshal(e.tc);
  EXPECT_EQ(m.kind, static_cast<CORBA::ULong>(e.kind));
  EXPECT_EQ(roundedUp(m.length), e.length) << "marshalled length " << m.length;
}

INSTANTIATE_TEST_SUITE_P(All, TypeCodes, ::testing::Range(0, 13));

TEST(TmxTypeCodes, MembersInOrderWithFullMemberTypeCodes)
{
  EXPECT_EQ(memberNames(TMX::_tc_Event), (Names{ "id", "name", "arrival_time" }));
  EXPECT_EQ(TMX::_tc_Event->member_type(0)->kind(), CORBA::tk_short);
  EXPECT_EQ(TMX::_tc_Event->member_type(1)->kind(), CORBA::tk_string);
  EXPECT_EQ(TMX::_tc_Event->member_type(1)->length(), 0u);

  CORBA::TypeCode_var timeT = TMX::_tc_Event->member_type(2);
  EXPECT_EQ(timeT->kind(), CORBA::tk_alias);
  EXPECT_STREQ(timeT->id(), "IDL:omg.org/TimeBase/TimeT:1.0");
  EXPECT_EQ(CORBA::TypeCode_var(timeT->content_type())->kind(), CORBA::tk_ulonglong);

  EXPECT_EQ(memberNames(TMX::_tc_Message), (Names{ "text", "priority", "arrival_time" }));
  CORBA::TypeCode_var text = TMX::_tc_Message->member_type(0);
  EXPECT_EQ(text->kind(), CORBA::tk_string);
  EXPECT_EQ(text->length(), 128u);
  EXPECT_STREQ(CORBA::TypeCode_var(TMX::_tc_Message->member_type(1))->id(), "IDL:MessagePriority:1.0");

  EXPECT_EQ(memberNames(TMX::_tc_HousekeepingData),
            (Names{ "id", "temp", "rh", "wateralarm", "readingTime" }));
  EXPECT_STREQ(CORBA::TypeCode_var(TMX::_tc_HousekeepingData->member_type(0))->id(), "IDL:HousingID:1.0");
  EXPECT_STREQ(CORBA::TypeCode_var(TMX::_tc_HousekeepingData->member_type(1))->id(), "IDL:TempType:1.0");
  EXPECT_STREQ(CORBA::TypeCode_var(TMX::_tc_HousekeepingData->member_type(2))->id(), "IDL:RhType:1.0");
  EXPECT_EQ(CORBA::TypeCode_var(TMX::_tc_HousekeepingData->member_type(3))->kind(), CORBA::tk_boolean);
  EXPECT_STREQ(CORBA::TypeCode_var(TMX::_tc_HousekeepingData->member_type(4))->id(),
               "IDL:omg.org/TimeBase/TimeT:1.0");

  EXPECT_EQ(memberNames(_tc_HousingID), (Names{ "ELECTRONICS_HOUSING", "SPECTROGRAPH_HOUSING" }));
  EXPECT_EQ(memberNames(_tc_MessagePriority), (Names{ "MESSAGE", "WARNING", "ALARM" }));
  EXPECT_EQ(CORBA::TypeCode_var(_tc_TempType->content_type())->kind(), CORBA::tk_double);
  EXPECT_EQ(CORBA::TypeCode_var(_tc_RhType->content_type())->kind(), CORBA::tk_double);
  EXPECT_EQ(MESSAGE, 0);
  EXPECT_EQ(WARNING, 1);
  EXPECT_EQ(ALARM, 2);
  EXPECT_EQ(ELECTRONICS_HOUSING, 0);
  EXPECT_EQ(SPECTROGRAPH_HOUSING, 1);
}

TEST(EventCommTypeCodes, MembersInOrder)
{
  EXPECT_EQ(memberNames(Event_Comm::_tc_Event), (Names{ "tag_", "value_", "object_ref_" }));
  EXPECT_EQ(CORBA::TypeCode_var(Event_Comm::_tc_Event->member_type(0))->kind(), CORBA::tk_string);
  EXPECT_EQ(CORBA::TypeCode_var(Event_Comm::_tc_Event->member_type(1))->kind(), CORBA::tk_any);
  CORBA::TypeCode_var object = Event_Comm::_tc_Event->member_type(2);
  EXPECT_EQ(object->kind(), CORBA::tk_objref);
  EXPECT_STREQ(object->id(), "IDL:omg.org/CORBA/Object:1.0");
  EXPECT_STREQ(object->name(), "Object");

  EXPECT_EQ(memberNames(Event_Comm::Notifier::_tc_CannotSubscribe), (Names{ "reason_" }));
  EXPECT_EQ(memberNames(Event_Comm::Notifier::_tc_CannotUnsubscribe), (Names{ "reason_" }));
}

TEST(Message, TextOf128CharactersRoundTripsAnd129IsRefused)
{
  TMX::Message out;
  const std::string text(128, 'x');
  out.text = text.c_str();
  out.priority = ALARM;
  out.arrival_time = 1007773200ULL;

  cdrMemoryStream stream;
  out >>= stream;
  TMX::Message in;
  in <<= stream;
  EXPECT_EQ(std::string(in.text), text);
  EXPECT_EQ(in.priority, ALARM);
  EXPECT_EQ(in.arrival_time, 1007773200ULL);

  out.text = std::string(129, 'y').c_str();
  cdrMemoryStream tooLong;
  EXPECT_THROW(out >>= tooLong, CORBA::SystemException);
}

TEST(Message, SurvivesAnAnyWithItsTypeCode)
{
  TMX::Message out;
  out.text = "ERROR: something@12:00:00";
  out.priority = WARNING;
  out.arrival_time = 42;
  CORBA::Any back = throughStream(out);

  CORBA::TypeCode_var tc = back.type();
  EXPECT_STREQ(tc->id(), "IDL:TMX/Message:1.0");
  const TMX::Message *in = nullptr;
  ASSERT_TRUE(back >>= in);
  EXPECT_STREQ(in->text, "ERROR: something@12:00:00");
  EXPECT_EQ(in->priority, WARNING);
  EXPECT_EQ(in->arrival_time, 42u);
}

TEST(HousekeepingData, ExtractsFromAMarshalledAny)
{
  TMX::HousekeepingData out;
  out.id = SPECTROGRAPH_HOUSING;
  out.temp = 25.5;
  out.rh = 80.1;
  out.wateralarm = true;
  out.readingTime = 1007773200ULL;
  CORBA::Any back = throughStream(out);

  CORBA::TypeCode_var tc = back.type();
  EXPECT_STREQ(tc->id(), "IDL:TMX/HousekeepingData:1.0");
  EXPECT_EQ(memberNames(tc), (Names{ "id", "temp", "rh", "wateralarm", "readingTime" }));
  const TMX::HousekeepingData *in = nullptr;
  ASSERT_TRUE(back >>= in);
  EXPECT_EQ(in->id, SPECTROGRAPH_HOUSING);
  EXPECT_DOUBLE_EQ(in->temp, 25.5);
  EXPECT_DOUBLE_EQ(in->rh, 80.1);
  EXPECT_TRUE(in->wateralarm);
  EXPECT_EQ(in->readingTime, 1007773200ULL);
}

TEST(EventCommEvent, EmptyTagEmptyAnyAndNilReferenceRoundTrip)
{
  Event_Comm::Event out;
  out.tag_ = "";
  out.object_ref_ = CORBA::Object::_nil();

  cdrMemoryStream stream;
  out >>= stream;
  Event_Comm::Event in;
  in.tag_ = "not empty";
  in <<= stream;

  EXPECT_STREQ(in.tag_, "");
  CORBA::TypeCode_var valueType = in.value_.type();
  EXPECT_EQ(valueType->kind(), CORBA::tk_null);
  EXPECT_TRUE(CORBA::is_nil(in.object_ref_));
}

TEST(EventCommEvent, NestedConsoleEventTravelsInAnAny)
{
  Event_Comm::Event line;
  line.tag_ = "hello there";
  Event_Comm::Event outer;
  outer.tag_ = "TMX";
  outer.value_ <<= line;

  cdrMemoryStream stream;
  outer >>= stream;
  Event_Comm::Event in;
  in <<= stream;

  EXPECT_STREQ(in.tag_, "TMX");
  CORBA::TypeCode_var tc = in.value_.type();
  EXPECT_STREQ(tc->id(), "IDL:Event_Comm/Event:1.0");
  const Event_Comm::Event *nested = nullptr;
  ASSERT_TRUE(in.value_ >>= nested);
  EXPECT_STREQ(nested->tag_, "hello there");
  EXPECT_EQ(CORBA::TypeCode_var(nested->value_.type())->kind(), CORBA::tk_null);
  EXPECT_TRUE(CORBA::is_nil(nested->object_ref_));
}

} // namespace
