// Fuzz target: recognition of the monitor's alarm texts. The first byte is
// the priority, the rest the text. Checks that an ALARM is always
// something and that a text of no alarm names no housing or source.
#include "config/AlarmTexts.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  if (size == 0)
    return 0;
  const int priority = data[0] % 4;
  const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  const auto r = tmx::alarmtext::recognise(priority, text);
  if (priority == 2 && !r)
    std::abort();
  if (r && r->housing && (*r->housing < 0 || *r->housing >= tmx::alarmtext::housingCount))
    std::abort();
  if (r && r->kind == tmx::alarmtext::AlarmKind::other && (r->housing || !r->source.empty()))
    std::abort();
  return 0;
}
