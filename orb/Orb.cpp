#include "orb/Orb.h"

#include "orb/TlsCheck.h"
#include "orb/TlsSettings.h"
#include "orb/TlsTransport.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <omniORB4/internal/orbOptions.h>
#include <omniORB4/internal/orbParameters.h>
#include <omniORB4/minorCode.h>
#include <sstream>

namespace tmx::orb {

namespace {
const char callTimeoutKey[] = "clientCallTimeOutPeriod";
std::atomic<bool> tlsOn{ false };

// omniORB's log during ORB_init without TLS: its TLS transport, linked into
// every program, says on each start that it is disabled; the rest goes to
// stderr as omniORB would write it.
void logWithoutTlsNotice(const char *message)
{
  if (!std::strstr(message, "SSL transport disabled"))
    std::fputs(message, stderr);
}
} // namespace

std::string describe(const CORBA::Exception &e)
{
  std::ostringstream out;
  out << e._name();
  if (const CORBA::SystemException *se = CORBA::SystemException::_downcast(&e)) {
    const char *minor = se->NP_minorString();
    out << " (minor " << (minor ? minor : "") << (minor ? ", " : "") << "0x" << std::hex << se->minor()
        << std::dec << ", "
        << (se->completed() == CORBA::COMPLETED_YES  ? "COMPLETED_YES"
            : se->completed() == CORBA::COMPLETED_NO ? "COMPLETED_NO"
                                                     : "COMPLETED_MAYBE")
        << ")";
  }
  return out.str();
}

bool callTimeoutConfigured()
{
  // omniORB keeps what its sources specified ("key = value" entries) until
  // the next ORB_init; it has no public query for it.
  CORBA::StringSeq_var specified = omni::orbOptions::singleton().dumpSpecified();
  const std::size_t n = sizeof callTimeoutKey - 1;
  for (CORBA::ULong i = 0; i < specified->length(); ++i) {
    const char *entry = specified[i];
    if (std::strncmp(entry, callTimeoutKey, n) == 0 && (entry[n] == ' ' || entry[n] == '='))
      return true;
  }
  return false;
}

CORBA::ORB_ptr initOrb(int &argc, char **argv, const char *orbId)
{
  const TlsSettings tls = readTlsSettings(argc, argv);
  std::vector<OrbOption> extra;
  if (tls.configured) {
    std::string why = checkTlsEndpoints(tls);
    if (why.empty())
      why = checkTlsSetup(tls, std::time(nullptr));
    if (!why.empty())
      throw TlsSetupError("TLS: " + why);
    extra = tlsOrbOptions(tls);
  }
  // ORB_init's own option array: key, value pairs ended by two nulls.
  std::unique_ptr<const char *[][2]> options(new const char *[extra.size() + 1][2]);
  for (std::size_t i = 0; i < extra.size(); ++i) {
    options[i][0] = extra[i].first.c_str();
    options[i][1] = extra[i].second.c_str();
  }
  options[extra.size()][0] = options[extra.size()][1] = nullptr;
  const bool quiet = !tls.configured && tls.traceFile.empty();
  if (quiet)
    omniORB::setLogFunction(logWithoutTlsNotice);
  CORBA::ORB_var orb;
  try {
    orb = CORBA::ORB_init(argc, argv, orbId, extra.empty() ? nullptr : options.get());
  } catch (...) {
    if (quiet)
      omniORB::setLogFunction(nullptr);
    throw;
  }
  if (quiet)
    omniORB::setLogFunction(nullptr);
  tlsOn = tls.configured;
  if (tls.configured)
    guardClientConnections(orb);
  else
    unguardClientConnections();
  if (!callTimeoutConfigured())
    omniORB::setClientCallTimeout(static_cast<CORBA::ULong>(defaultCallTimeout.count()));
  return orb._retn();
}

bool tlsConfigured()
{
  return tlsOn;
}

std::chrono::milliseconds clientCallTimeout()
{
  const omni_time_t &t = omni::orbParameters::clientCallTimeOutPeriod;
  return std::chrono::milliseconds(static_cast<long long>(t.s) * 1000 + t.ns / 1000000);
}

bool destroyOrb(CORBA::ORB_ptr orb, const char *who)
{
  if (CORBA::is_nil(orb))
    return true;
  try {
    orb->destroy();
  } catch (const CORBA::Exception &e) {
    std::fprintf(stderr, "%s: ORB shutdown: %s\n", who, describe(e).c_str());
    return false;
  }
  return true;
}

CosNaming::NamingContextExt_ptr rootContext(CORBA::ORB_ptr orb)
{
  CORBA::Object_var obj;
  try {
    obj = orb->resolve_initial_references("NameService");
  } catch (const CORBA::NO_RESOURCES &e) {
    // omniORB's way of saying that no such initial reference was given.
    if (e.minor() == omni::NO_RESOURCES_InitialRefNotFound)
      throw CORBA::ORB::InvalidName();
    throw;
  }
  CosNaming::NamingContextExt_var ctx = CosNaming::NamingContextExt::_narrow(obj);
  if (CORBA::is_nil(ctx))
    throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  return ctx._retn();
}

} // namespace tmx::orb
