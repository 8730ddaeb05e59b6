#include "orb/TlsSettings.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/internal/orbOptions.h>

#include <cstdlib>

namespace tmx::orb {

namespace {

// Where omniORB's configuration file is when neither -ORBconfigFile nor
// OMNIORB_CONFIG names one (Debian's build).
const char defaultConfigFile[] = "/etc/omniORB.cfg";

const char *configFile()
{
  const char *named = std::getenv("OMNIORB_CONFIG");
  return named && *named ? named : defaultConfigFile;
}

} // namespace

TlsSettings tlsSettingsFrom(const std::vector<std::string> &specified)
{
  TlsSettings s;
  for (const std::string &entry : specified) {
    const std::size_t eq = entry.find(" = ");
    if (eq == std::string::npos)
      continue;
    const std::string key = entry.substr(0, eq), value = entry.substr(eq + 3);
    if (key == "sslCAFile")
      s.caFile = value;
    else if (key == "sslCAPath")
      s.caPath = value;
    else if (key == "sslKeyFile")
      s.keyFile = value;
    else if (key == "sslKeyPassword") {
      s.keyPassword = value;
      s.keyPasswordGiven = true;
    } else if (key == "sslVerifyMode")
      s.verifyMode = value;
    else if (key == "endPoint" || key == "endPointNoListen" || key == "endPointNoPublish")
      s.endpoints.push_back(value);
    else if (key == "traceFile")
      s.traceFile = value;
    else
      continue;
    if (key.compare(0, 3, "ssl") == 0)
      s.configured = true;
  }
  return s;
}

TlsSettings readTlsSettings(int argc, char **argv)
{
  // omniORB's option store is what ORB_init fills (it resets it first); it
  // is filled here the same way and emptied again.
  omni::orbOptions &options = omni::orbOptions::singleton();
  // What an ORB already running was given stays as it was (an ORB_init
  // then returns that ORB without reading its sources again).
  CORBA::StringSeq_var before = options.dumpSpecified();
  std::vector<std::string> specified;
  std::vector<char *> args(argv, argv + argc);
  args.push_back(nullptr);
  int n = argc;
  try {
    options.reset();
    const char *file = options.getConfigFileName(argc, argv, configFile());
    options.importFromFile(file);
    options.importFromEnv();
    options.extractInitOptions(n, args.data());
    CORBA::StringSeq_var dump = options.dumpSpecified();
    for (CORBA::ULong i = 0; i < dump->length(); ++i)
      specified.emplace_back(dump[i].in());
  } catch (const omni::orbOptions::Unknown &) {
  } catch (const omni::orbOptions::BadParam &) {
  }
  options.reset();
  for (CORBA::ULong i = 0; i < before->length(); ++i) {
    const std::string entry(before[i].in());
    const std::size_t eq = entry.find(" = ");
    if (eq == std::string::npos)
      continue;
    try {
      options.addOption(entry.substr(0, eq).c_str(), entry.substr(eq + 3).c_str());
    } catch (const omni::orbOptions::Unknown &) {
    } catch (const omni::orbOptions::BadParam &) {
    }
  }
  return tlsSettingsFrom(specified);
}

} // namespace tmx::orb
