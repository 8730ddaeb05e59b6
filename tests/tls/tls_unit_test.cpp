// Which plain connections a program over TLS may open, and the certificate
// check at a given time.
#include "orb/TlsCheck.h"
#include "orb/TlsTransport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tmx::test;
using tmx::orb::connectionAllowed;

TEST(TlsTransport, PlainConnectionsReachTheNamingServiceOnly)
{
  const std::vector<std::string> naming = { "127.0.0.1:2809" };
  struct Case
  {
    const char *peer;
    bool allowed;
  } cases[] = {
    { "giop:ssl:127.0.0.1:40000", true },
    { "giop:ssl:[::1]:40000", true },
    { "giop:tcp:127.0.0.1:2809", true },
    { "giop:tcp:localhost:2809", true },
    { "giop:tcp:127.0.0.1:2810", false },
    { "giop:tcp:127.0.0.2:2809", false },
    { "giop:unix:/tmp/omni-sock", false },
    { "giop:tcp:", false },
    { "", false },
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.allowed, connectionAllowed(c.peer, naming)) << c.peer;
}

TEST(TlsCheck, CertificateIsJudgedAtTheGivenTime)
{
  TempDir dir("tmx-tls-unit");
  RunResult made =
    run({ "bash", std::string(TMX_SOURCE_DIR) + "/scripts/make-certs.sh", "--days", "10", dir.path() },
        milliseconds(60000));
  ASSERT_TRUE(made.status.ok()) << made.err;
  tmx::orb::TlsSettings s;
  s.configured = true;
  s.caFile = dir.file("ca.pem");
  s.keyFile = dir.file("tmx.pem");
  s.keyPassword = "tmx-site";
  s.keyPasswordGiven = true;
  const std::time_t now = std::time(nullptr), day = 24 * 3600;
  EXPECT_EQ("", tmx::orb::checkTlsSetup(s, now));
  EXPECT_EQ(0u, tmx::orb::checkTlsSetup(s, now + 11 * day).find(s.keyFile + ": the certificate expired on "));
  EXPECT_EQ(0u,
            tmx::orb::checkTlsSetup(s, now - day).find(s.keyFile + ": the certificate is not valid before "));
  s.verifyMode = "none";
  EXPECT_EQ("-ORBsslVerifyMode \"none\" accepts peers without a certificate (use peer,fail)",
            tmx::orb::checkTlsSetup(s, now));
}
