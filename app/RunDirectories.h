// Where the monitor keeps its files at run time. Resolved once from the
// environment by the application and handed to the parts that use them.
#pragma once

#include <string>

struct RunDirectories
{
  // $TMX_CONFIG_DIR, else the current directory (".").
  std::string config;
  // $TMX_LOG_DIR, else "logfiles" inside the configuration directory. It
  // must exist: nothing creates it.
  std::string log;

  static RunDirectories fromEnvironment();
};
