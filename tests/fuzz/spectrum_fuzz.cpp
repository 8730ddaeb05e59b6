// Fuzz target: libspectrum's simulation file. Every input becomes the
// file named by $TMX_LOGGER_SIM (replaced by rename, as an operator's
// editor would); the C interface must answer with statuses and terminated
// texts, never crash.
#include "platform/spectrum/Spectrum.h"
#include "tests/support/TestUtil.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::uint32_t handle = 0;

// The scratch directory, removed at exit.
const tmx::test::TempDir &scratch()
{
  static const tmx::test::TempDir dir("tmx-fuzz");
  return dir;
}

void check(bool condition)
{
  if (!condition)
    std::abort();
}

void checkText(const char *text, std::size_t size)
{
  check(std::memchr(text, '\0', size) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  ::setenv("TMX_LOGGER_SIM", scratch().file("sim.txt").c_str(), 1);
  check(SPLGR_CreateLoggerObject(&handle) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  scratch().write("sim.txt", std::string(reinterpret_cast<const char *>(data), size));

  char text[SPECTRUM_UNITS_SIZE];
  std::int32_t status = SPAPI_GetApiVersion(text);
  if (status == 0)
    checkText(text, SPECTRUM_TEXT_SIZE);
  for (std::int32_t arg : { 0, 1, 2, -1 }) {
    std::int32_t read = SPLGR_ReadChannelValues(handle, arg, 0);
    char message[SPECTRUM_TEXT_SIZE];
    check(SPUTL_FormatStatusCode(read, message) == 0);
    checkText(message, sizeof message);
    if (read == SPSTATUS_SIM_MALFORMED)
      check(std::strstr(message, " line ") != nullptr);
    if (read != 0) {
      check(read != -1);
      continue;
    }
    check(SPLGR_GetDescription(handle, text) == 0);
    checkText(text, SPECTRUM_TEXT_SIZE);
    for (std::int32_t channel = 0; channel < 2; ++channel) {
      int enabled = -1;
      check(SPLGR_GetChannelEnabled(handle, channel, &enabled) == 0);
      double value;
      std::int32_t v = SPLGR_GetChannelValue(handle, channel, &value);
      check(enabled || v != 0);
      check(SPLGR_GetChannelUnits(handle, channel, text) == 0);
      checkText(text, SPECTRUM_UNITS_SIZE);
    }
  }
  return 0;
}
