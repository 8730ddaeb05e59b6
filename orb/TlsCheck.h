// The certificate set-up of a program over TLS, checked with OpenSSL before
// omniORB takes it: omniORB itself accepts an expired own certificate and
// runs on without a usable key, every handshake then failing.
#pragma once

#include "orb/TlsSettings.h"

#include <ctime>
#include <string>

namespace tmx::orb {

// Empty when the set-up is usable at time now: a readable authority file
// (or directory) with a certificate in it, a key file holding a certificate
// and the private key that matches it (decrypted with the password when it
// is encrypted), the certificate valid at now and issued by the authority,
// and a verify mode that demands the peer's certificate. Otherwise one line,
// "FILE: REASON" (or the option at fault and the reason).
std::string checkTlsSetup(const TlsSettings &settings, std::time_t now);

} // namespace tmx::orb
