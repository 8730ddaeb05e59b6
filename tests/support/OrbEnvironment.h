// An initialised ORB for the whole test binary, for tests that only need
// one for CORBA::Any work (copying an any that holds a string marshals it)
// and marshalling. No POA is activated, so no endpoint is opened.
//   const auto *orbEnvironment =
//     ::testing::AddGlobalTestEnvironment(new tmx::test::OrbEnvironment);
#pragma once

#include <gtest/gtest.h>
#include <omniORB4/CORBA.h>

namespace tmx::test {

class OrbEnvironment : public ::testing::Environment
{
public:
  void SetUp() override
  {
    int argc = 3;
    char arg0[] = "test", arg1[] = "-ORBendPoint", arg2[] = "giop:tcp:127.0.0.1:";
    char *argv[] = { arg0, arg1, arg2, nullptr };
    orb_ = CORBA::ORB_init(argc, argv);
  }
  void TearDown() override
  {
    if (!CORBA::is_nil(orb_))
      orb_->destroy();
  }

private:
  CORBA::ORB_var orb_;
};

} // namespace tmx::test
