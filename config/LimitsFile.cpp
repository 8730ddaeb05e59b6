#include "config/LimitsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

bool readLimitsConfig(const std::string &path,
                      LimitsSet &limits,
                      std::string &why,
                      const std::function<void(const std::string &)> &report)
{
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    why = std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
    text.append(buf, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    why = std::strerror(error);
    return false;
  }
  std::vector<ConfigEntry> entries;
  configformat::parseEntries(text, entries);
  // The sensor ids in HousingID order.
  const char *const sensors[] = { "TMX-E1", "TMX-S1" };
  static_assert(sizeof sensors / sizeof sensors[0] == std::tuple_size<LimitsSet>::value);
  for (std::size_t h = 0; h < limits.size(); ++h) {
    std::string malformed;
    limits[h] = housingLimitsOf(entries, sensors[h], malformed);
    if (!malformed.empty())
      report(malformed);
  }
  return true;
}
