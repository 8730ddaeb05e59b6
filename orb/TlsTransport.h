// How a program with TLS configured keeps off plain TCP: its own objects
// are offered and served over TLS only, and it connects over plain TCP to
// the naming service alone (omniNames has no TLS), to every other object
// over TLS only, so a name rebound to a plain-TCP server leads nowhere.
#pragma once

#include "orb/TlsSettings.h"

#include <omniORB4/CORBA.h>

#include <string>
#include <utility>
#include <vector>

namespace tmx::orb {

using OrbOption = std::pair<std::string, std::string>;

// Empty when the endpoints are TLS endpoints (giop:ssl:...) or none is
// given; otherwise the line that says which one is not.
std::string checkTlsEndpoints(const TlsSettings &settings);

// The options ORB_init gets besides the configured ones: a TLS endpoint on
// every interface when none is given (omniORB's default is giop:tcp::),
// servers accept TLS connections only, clients use TLS or (for the naming
// service, see guardClientConnections) TCP.
std::vector<OrbOption> tlsOrbOptions(const TlsSettings &settings);

// From now on every plain connection that orb opens is refused (the call
// fails with an ORB exception, and "PROGRAM: TLS: no plain connection to
// ADDRESS ..." goes to stderr) unless it goes to the address of its
// "NameService" initial reference; TLS connections are always allowed.
// Replaces what an earlier call installed.
void guardClientConnections(CORBA::ORB_ptr orb);
// Lifts that guard (an ORB started later in the process without TLS).
void unguardClientConnections();

// Whether a connection to peerAddress ("giop:tcp:HOST:PORT", "giop:ssl:...",
// "giop:unix:...") is allowed when plain TCP may only reach the addresses in
// namingAddresses ("HOST:PORT" with numeric hosts).
bool connectionAllowed(const std::string &peerAddress, const std::vector<std::string> &namingAddresses);

} // namespace tmx::orb
