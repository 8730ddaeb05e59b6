// The limits of both housings as the tools read them from the monitor's
// configuration file (tmx.cfg), with the monitor's own parser.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "config/Limits.h"

// The limits of each housing, indexed as HousingID (0 electronics, 1
// spectrograph).
using LimitsSet = std::array<HousingLimits, 2>;

// The limits of both housings from the file at `path` (its TMX-E1-LIMITS
// and TMX-S1-LIMITS entries). false with the reason (strerror) when the
// file cannot be read. A malformed entry is passed to `report` (the
// monitor's text for it) and leaves that housing without limits.
bool readLimitsConfig(const std::string &path,
                      LimitsSet &limits,
                      std::string &why,
                      const std::function<void(const std::string &)> &report);
