/* Data-logger library: the C interface the monitor uses. This project's
 * libspectrum reads the loggers described by the file named by $TMX_LOGGERS
 * (or $TMX_LOGGER_SIM): simulated ones, Modbus TCP and RTU transmitters and
 * Linux sensors through sysfs; a vendor library with the same interface can
 * replace it. Devices are polled on the library's own threads: reading
 * values never waits for a device.
 *
 * Every function returns a status: 0 for success, a positive code
 * otherwise (never -1). SPUTL_FormatStatusCode gives a readable text for
 * any status. Outputs are written only on success. All functions are
 * thread-safe. */
#ifndef TMX_PLATFORM_SPECTRUM_H
#define TMX_PLATFORM_SPECTRUM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#if defined(__GNUC__)
#define SPECTRUM_API __attribute__((visibility("default")))
#else
#define SPECTRUM_API
#endif

/* Sizes of the caller's text buffers, terminator included. */
#define SPECTRUM_TEXT_SIZE 256
#define SPECTRUM_UNITS_SIZE 512

/* Status codes. */
#define SPSTATUS_OK 0
#define SPSTATUS_NULL_ARGUMENT 1001
#define SPSTATUS_NO_SIM_FILE 1002    /* neither $TMX_LOGGERS nor $TMX_LOGGER_SIM set */
#define SPSTATUS_SIM_UNREADABLE 1003 /* missing or unreadable file */
#define SPSTATUS_SIM_MALFORMED 1004  /* text names the file and line */
#define SPSTATUS_NO_LOGGER 1005      /* no logger with that read argument */
#define SPSTATUS_BAD_HANDLE 1006
#define SPSTATUS_NOT_CONNECTED 1007 /* no successful ReadChannelValues yet */
#define SPSTATUS_BAD_CHANNEL 1008
#define SPSTATUS_CHANNEL_DISABLED 1009
#define SPSTATUS_CHANNEL_FAILED 1010
#define SPSTATUS_BAD_PROTOCOL 1011
#define SPSTATUS_TOO_MANY_LOGGERS 1012
#define SPSTATUS_NO_READING 1013 /* a device's value is missing or stale; text says why */

  /* version: buffer of SPECTRUM_TEXT_SIZE. */
  SPECTRUM_API int32_t SPAPI_GetApiVersion(char *version);
  /* Only protocol 0 is known. */
  SPECTRUM_API int32_t SPAPI_SetProtocol(int32_t protocol);
  SPECTRUM_API int32_t SPLGR_CreateLoggerObject(uint32_t *handle);
  /* Connects the handle to the logger with that read argument and takes a
   * fresh copy of its values. option is reserved (0). */
  SPECTRUM_API int32_t SPLGR_ReadChannelValues(uint32_t handle, int32_t readArgument, uint32_t option);
  /* description: buffer of SPECTRUM_TEXT_SIZE. */
  SPECTRUM_API int32_t SPLGR_GetDescription(uint32_t handle, char *description);
  /* Channel 0 is the temperature, 1 the relative humidity. */
  SPECTRUM_API int32_t SPLGR_GetChannelEnabled(uint32_t handle, int32_t channel, int *enabled);
  SPECTRUM_API int32_t SPLGR_GetChannelValue(uint32_t handle, int32_t channel, double *value);
  /* units: buffer of SPECTRUM_UNITS_SIZE. */
  SPECTRUM_API int32_t SPLGR_GetChannelUnits(uint32_t handle, int32_t channel, char *units);
  /* text: buffer of at least SPECTRUM_TEXT_SIZE; always terminated. */
  SPECTRUM_API int32_t SPUTL_FormatStatusCode(int32_t status, char *text);

#ifdef __cplusplus
}
#endif

#endif
