// Pieces shared by the programs around the monitor (tmx-notifier,
// tmx-watch, tmx-status, tmx-web): ORB set-up with usage errors (a bad ORB
// option or TLS set-up), command-line helpers. What a published value is
// comes from wire/; exception texts, the naming context, ORB tear-down and
// signal waiting come from orb/.
#pragma once

#include <string>

#include <omniORB4/CORBA.h>

namespace tmx::tools {

// Prints "PROGRAM: WHAT" and the pointer to --help on stderr; returns the
// exit status of a bad command line, 2.
int usageError(const char *program, const std::string &what);

// tmx::orb::initOrb, which removes the ORB options from argv. On a bad ORB
// option it reports a usage error and returns nil; on a TLS set-up that
// cannot work it prints "PROGRAM: TLS: FILE: REASON" and returns nil (the
// program then exits with the status of a bad command line, 2).
CORBA::ORB_ptr initOrb(int &argc, char **argv, const char *program);

// Activates servant in the root POA, activates its manager and returns the
// servant's reference.
CORBA::Object_ptr activateServant(CORBA::ORB_ptr orb, PortableServer::Servant servant);

// Reports on stderr that no naming service was given (tmx::orb::rootContext threw
// CORBA::ORB::InvalidName), with the option that gives one.
void reportNoNamingService(const char *program);

} // namespace tmx::tools
