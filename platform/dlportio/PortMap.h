// Water lines read from Modbus inputs instead of the port: the map named by
// $TMX_PORT_MAP, one line per status register bit (or bits):
//
//   # comment
//   line PORT MASK modbus-tcp host=10.0.0.7 unit=1 input=discrete:3 wet=1
//
// PORT and MASK as in tmx.cfg (0x.. or decimal); the source and its options
// as in the loggers file, with input= (discrete:N, coil:N, holding:N:BIT)
// and wet= (the input's value that means water). The inputs are polled on
// threads of their own; a read never waits for a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tmx::portmap {

// True while $TMX_PORT_MAP is set.
bool active();
// Sets the mapped bits of `port` in byte: low where the input reads wet,
// high where it reads dry or has no fresh value. Appends the texts to
// report: a map that cannot be used, once per problem; a line without a
// value, once until it reads again.
void apply(std::uint32_t port, std::uint8_t &byte, std::vector<std::string> &report);

} // namespace tmx::portmap
