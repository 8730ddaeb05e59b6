// ORB start-up and tear-down, exception texts and the root naming context,
// shared by the monitor and the programs around it.
#pragma once

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <chrono>
#include <stdexcept>
#include <string>

namespace tmx::orb {

// The client call time-out when omniORB's configuration gives none: no
// remote call (naming service included) may hang for ever.
constexpr std::chrono::milliseconds defaultCallTimeout{ 10000 };

// "NAME" for a user exception, "NAME (minor TEXT, 0x..., COMPLETED_x)" for
// a system exception.
std::string describe(const CORBA::Exception &e);

// A certificate set-up that cannot work over TLS; what() is one line,
// "TLS: FILE: REASON" (or the option at fault and the reason).
class TlsSetupError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// CORBA::ORB_init (which removes the ORB options from argv; a bad one
// throws). When omniORB's configuration (the command line, the
// environment's ORBclientCallTimeOutPeriod, the configuration file) sets no
// client call time-out, the ORB-wide one becomes defaultCallTimeout.
// Opening a connection is bounded by the same time-out.
//
// When the configuration names any of omniORB's TLS options (sslCAFile,
// sslKeyFile, ...), the program runs over TLS only (orb/TlsTransport.h):
// the certificate set-up is checked first (orb/TlsCheck.h) and a bad one
// throws TlsSetupError before the ORB starts, as does a plain endpoint.
CORBA::ORB_ptr initOrb(int &argc, char **argv, const char *orbId = "omniORB4");

// True when the last initOrb started the ORB over TLS.
bool tlsConfigured();

// True when omniORB's configuration of the last ORB_init set the client
// call time-out itself (from any of its sources).
bool callTimeoutConfigured();

// The ORB-wide client call time-out now in force (0: none).
std::chrono::milliseconds clientCallTimeout();

// Destroys the ORB (nothing for nil); never throws. A failure is reported
// on stderr as "WHO: ORB shutdown: ..." and gives false.
bool destroyOrb(CORBA::ORB_ptr orb, const char *who);

// The root naming context from the "NameService" initial reference.
// Throws CORBA::ORB::InvalidName when no naming service was given,
// OBJECT_NOT_EXIST when the reference is not a NamingContextExt, other
// CORBA exceptions (TRANSIENT when the service is unreachable, TIMEOUT
// when it does not answer). Names are made with its to_name, or resolved
// at once with resolve_str.
CosNaming::NamingContextExt_ptr rootContext(CORBA::ORB_ptr orb);

} // namespace tmx::orb
