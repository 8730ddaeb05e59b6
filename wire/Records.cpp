#include "wire/Records.h"

#include <cmath>
#include <cstddef>

namespace tmx::wire {

namespace {

// names[index]; "" for an index outside the table.
template<std::size_t N>
const char *nameAt(const char *const (&names)[N], int index)
{
  return index >= 0 && static_cast<std::size_t>(index) < N ? names[index] : "";
}

} // namespace

std::optional<double> reading(const std::optional<double> &v)
{
  if (!v || *v == -1.0 || !std::isfinite(*v))
    return std::nullopt;
  return v;
}

const char *housingName(int housing)
{
  static const char *const names[] = { "electronics", "spectrograph" };
  return nameAt(names, housing);
}

std::optional<int> parseHousing(const std::string &text)
{
  if (text == "electronics" || text == "0")
    return 0;
  if (text == "spectrograph" || text == "1")
    return 1;
  return std::nullopt;
}

const char *priorityName(int priority)
{
  static const char *const names[] = { "MESSAGE", "WARNING", "ALARM" };
  return nameAt(names, priority);
}

bool HousekeepingRecord::operator==(const HousekeepingRecord &o) const
{
  return housing == o.housing && readingTime == o.readingTime && temperature == o.temperature &&
         humidity == o.humidity && water == o.water && arrivalTime == o.arrivalTime;
}

} // namespace tmx::wire
