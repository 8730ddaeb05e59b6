// Who may push events to the notifier: with TLS, only the callers whose
// verified certificate has one of the allowed subject common names. The
// check is omniORB's server-side request interceptor, so it sees the
// caller's certificate (peeridentity(), empty without one) before the
// request reaches the servant; a refused push raises NO_PERMISSION in the
// caller.
#pragma once

#include <set>
#include <string>

namespace tmx::notifier {

// From now on push requests to this process are refused unless the
// caller's certificate name is in allowed; each refusal is reported on
// stderr as "tmx-notifier: push refused from NAME (ADDRESS)". Replaces an
// earlier set.
void restrictPush(std::set<std::string> allowed);

// Whether a push from a caller with this certificate name (empty: none) is
// let through.
bool pushAllowed(const std::string &peerIdentity);

} // namespace tmx::notifier
