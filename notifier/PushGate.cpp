#include "notifier/PushGate.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace tmx::notifier {

namespace {

std::mutex gateMutex;
std::set<std::string> allowedNames; // under gateMutex

CORBA::Boolean checkPush(omni::omniInterceptors::serverReceiveRequest_T::info_T &info)
{
  // Only the notifier's own servant takes "push" in this process.
  if (std::strcmp(info.operation(), "push") != 0)
    return 1;
  const char *identity = info.peeridentity();
  const std::string name = identity ? identity : "";
  if (pushAllowed(name))
    return 1;
  const char *peer = info.peeraddress();
  std::fprintf(stderr,
               "tmx-notifier: push refused from %s (%s)\n",
               name.empty() ? "a caller without a certificate" : ("\"" + name + "\"").c_str(),
               peer ? peer : "unknown address");
  throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);
}

} // namespace

bool pushAllowed(const std::string &peerIdentity)
{
  std::lock_guard<std::mutex> lock(gateMutex);
  return !peerIdentity.empty() && allowedNames.count(peerIdentity) > 0;
}

void restrictPush(std::set<std::string> allowed)
{
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    allowedNames = std::move(allowed);
  }
  auto &receive = omniORB::getInterceptors()->serverReceiveRequest;
  receive.remove(checkPush);
  receive.add(checkPush);
}

} // namespace tmx::notifier
