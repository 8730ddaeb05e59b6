#include "orb/TlsTransport.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniInterceptors.h>
#include <omniORB4/omniObjRef.h>
// Links omniORB's TLS transport into every program that starts an ORB here.
#include <omniORB4/sslContext.h>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno> // program_invocation_short_name
#include <cstdio>
#include <memory>
#include <mutex>

namespace tmx::orb {

namespace {

const char sslPrefix[] = "giop:ssl:";
const char tcpPrefix[] = "giop:tcp:";

std::mutex guardMutex;
std::vector<std::string> namingAddresses; // under guardMutex

bool startsWith(const std::string &s, const char *prefix)
{
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "IP:PORT" for each address host resolves to (host itself when it does
// not resolve); IPv6 in brackets.
std::vector<std::string> numericAddresses(const std::string &host, const std::string &port)
{
  std::vector<std::string> result;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0) {
    for (addrinfo *a = found; a; a = a->ai_next) {
      char ip[NI_MAXHOST];
      if (getnameinfo(a->ai_addr, a->ai_addrlen, ip, sizeof ip, nullptr, 0, NI_NUMERICHOST) == 0)
        result.push_back((a->ai_family == AF_INET6 ? "[" + std::string(ip) + "]" : std::string(ip)) + ":" +
                         port);
    }
    freeaddrinfo(found);
  }
  if (result.empty())
    result.push_back(host + ":" + port);
  return result;
}

// Splits "HOST:PORT" (HOST may be "[v6]") at the last colon.
bool splitHostPort(const std::string &address, std::string &host, std::string &port)
{
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return false;
  host = address.substr(0, colon);
  port = address.substr(colon + 1);
  if (host.size() > 1 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return true;
}

CORBA::Boolean refusePlainConnections(omni::omniInterceptors::clientOpenConnection_T::info_T &info)
{
  const char *peer = info.peeraddress();
  std::lock_guard<std::mutex> lock(guardMutex);
  if (!connectionAllowed(peer ? peer : "", namingAddresses)) {
    info.reject = 1;
    info.why = "TLS is configured: plain connections go to the naming service only";
    // The caller sees only an ORB exception; this says why.
    std::fprintf(stderr,
                 "%s: TLS: no plain connection to %s (only the naming service is reached without TLS)\n",
                 program_invocation_short_name,
                 peer ? peer : "an unknown address");
  }
  return 1;
}

} // namespace

std::string checkTlsEndpoints(const TlsSettings &settings)
{
  for (const std::string &e : settings.endpoints)
    if (!startsWith(e, sslPrefix))
      return "endpoint " + e + " is not a TLS endpoint (giop:ssl:HOST:PORT): with TLS configured " +
             "no object is offered over plain connections";
  return {};
}

std::vector<OrbOption> tlsOrbOptions(const TlsSettings &settings)
{
  std::vector<OrbOption> options;
  if (settings.endpoints.empty())
    options.emplace_back("endPoint", "giop:ssl::");
  options.emplace_back("serverTransportRule", "* ssl");
  options.emplace_back("clientTransportRule", "* ssl,tcp");
  return options;
}

bool connectionAllowed(const std::string &peerAddress, const std::vector<std::string> &allowed)
{
  if (startsWith(peerAddress, sslPrefix))
    return true;
  if (!startsWith(peerAddress, tcpPrefix))
    return false;
  std::string host, port;
  if (!splitHostPort(peerAddress.substr(sizeof tcpPrefix - 1), host, port))
    return false;
  for (const std::string &a : numericAddresses(host, port))
    if (std::find(allowed.begin(), allowed.end(), a) != allowed.end())
      return true;
  return false;
}

void guardClientConnections(CORBA::ORB_ptr orb)
{
  std::vector<std::string> addresses;
  try {
    CORBA::Object_var naming = orb->resolve_initial_references("NameService");
    struct Release
    {
      void operator()(omniIOR *ior) const { ior->release(); }
    };
    std::unique_ptr<omniIOR, Release> ior(naming->_PR_getobj()->_getIOR());
    const IOP::TaggedProfileList &profiles = ior->iopProfiles();
    for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
      if (profiles[i].tag != IOP::TAG_INTERNET_IOP)
        continue;
      IIOP::ProfileBody body;
      IIOP::unmarshalProfile(profiles[i], body);
      for (const std::string &a : numericAddresses(body.address.host.in(), std::to_string(body.address.port)))
        addresses.push_back(a);
    }
  } catch (const CORBA::Exception &) {
    // No naming service given (or none usable): no plain connection at all.
  }
  {
    std::lock_guard<std::mutex> lock(guardMutex);
    namingAddresses = std::move(addresses);
  }
  auto &open = omniORB::getInterceptors()->clientOpenConnection;
  open.remove(refusePlainConnections);
  open.add(refusePlainConnections);
}

void unguardClientConnections()
{
  omniORB::getInterceptors()->clientOpenConnection.remove(refusePlainConnections);
}

} // namespace tmx::orb
