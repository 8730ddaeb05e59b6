// The TLS part of omniORB's configuration, read before the ORB starts so
// that the certificate set-up can be checked and the transport rules set.
#pragma once

#include <string>
#include <vector>

namespace tmx::orb {

struct TlsSettings
{
  // Some sslCAFile, sslCAPath, sslKeyFile, sslKeyPassword or sslVerifyMode
  // was given: the program then runs over TLS only.
  bool configured = false;
  std::string caFile, caPath, keyFile, keyPassword, verifyMode;
  bool keyPasswordGiven = false;
  // The values of every endPoint, endPointNoListen and endPointNoPublish.
  std::vector<std::string> endpoints;
  // omniORB's log goes to this file instead of stderr (traceFile).
  std::string traceFile;
};

// What omniORB's sources (the command line, the environment, the
// configuration file) specify, as ORB_init would read them; argv is left
// as it is. An option omniORB would refuse is skipped: ORB_init reports it.
TlsSettings readTlsSettings(int argc, char **argv);

// The "key = value" entries of omniORB's "specified" dump that make the
// settings (split out for tests).
TlsSettings tlsSettingsFrom(const std::vector<std::string> &specified);

} // namespace tmx::orb
