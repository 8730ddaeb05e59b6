#include "app/RunDirectories.h"

#include <cstdlib>

namespace {

// An unset and an empty variable both mean "not given".
const char *variable(const char *name)
{
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

RunDirectories RunDirectories::fromEnvironment()
{
  RunDirectories dirs;
  const char *config = variable("TMX_CONFIG_DIR");
  dirs.config = config != nullptr ? config : ".";
  const char *log = variable("TMX_LOG_DIR");
  dirs.log = log != nullptr ? log : dirs.config + "/logfiles";
  return dirs;
}
