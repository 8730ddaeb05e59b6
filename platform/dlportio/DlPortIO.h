/* Port I/O: one byte read from the I/O port space. The byte at offset
 * `port` of the file named by $TMX_PORT_DEVICE (default /dev/port, the
 * real port space on x86 Linux) is the value of that port. Where the
 * variable names a parallel port's ppdev device (/dev/parport0), only that
 * port's status register (its base + 1) can be read, through PPRSTATUS and
 * with no special privileges; other ports fail. $TMX_PORT_MAP may map bits
 * of a status register to Modbus inputs (PortMap.h); unmapped bits read as
 * the port gives them, or high when $TMX_PORT_DEVICE is not set.
 *
 * A port that cannot be read reads as 0xFF (all lines high: a water line
 * reads dry). The failure is reported once per port through the error
 * reporter, naming the port and the file, and again for that port only
 * after it has been read successfully in between. Thread-safe. */
#ifndef TMX_PLATFORM_DLPORTIO_H
#define TMX_PLATFORM_DLPORTIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

  uint8_t DlPortReadPortUchar(uint32_t port);

  /* Receives the text of a read failure. Null (the default) writes the text
   * to standard error. The monitor installs reportError. */
  typedef void (*DlPortErrorReporter)(const char *text);
  void DlPortSetErrorReporter(DlPortErrorReporter reporter);

#ifdef __cplusplus
}
#endif

#endif
