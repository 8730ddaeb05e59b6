// Modbus TCP and RTU devices through libmodbus. Both channels of a logger
// are read in one request where their registers are adjacent.
#include "platform/spectrum/Source.h"

#include <modbus/modbus.h>

#include <cerrno>
#include <cstring>

namespace spectrum {

namespace {

struct ContextDeleter
{
  void operator()(modbus_t *ctx) const
  {
    modbus_close(ctx);
    modbus_free(ctx);
  }
};
using Context = std::unique_ptr<modbus_t, ContextDeleter>;

// One read request: registers [start, start + count) of one kind, for the
// channels in `channels`.
struct Request
{
  RegisterKind kind;
  int start;
  int count;
  bool channels[channelCount];
};

std::vector<Request> plan(const ModbusSpec &m)
{
  const RegisterChannel &a = m.channels[0], &b = m.channels[1];
  std::vector<Request> requests;
  if (a.used && b.used && a.kind == b.kind && !a.isBit()) {
    int start = std::min<int>(a.address, b.address);
    int end = std::max(a.address + a.registers(), b.address + b.registers());
    if (end - start <= a.registers() + b.registers()) // adjacent or overlapping
      return { Request{ a.kind, start, end - start, { true, true } } };
  }
  for (int c = 0; c < channelCount; ++c) {
    const RegisterChannel &ch = m.channels[c];
    if (ch.used)
      requests.push_back(Request{ ch.kind, ch.address, ch.registers(), { c == 0, c == 1 } });
  }
  return requests;
}

double decode(const RegisterChannel &c, const std::uint16_t *regs)
{
  if (c.bit >= 0)
    return (regs[0] >> c.bit) & 1;
  std::uint32_t hi = c.swapped ? regs[1] : regs[0];
  std::uint32_t lo = c.swapped ? regs[0] : regs[1];
  std::uint32_t word = (hi << 16) | lo;
  double raw = 0;
  switch (c.type) {
    case RegisterType::int16:
      raw = static_cast<std::int16_t>(regs[0]);
      break;
    case RegisterType::uint16:
      raw = regs[0];
      break;
    case RegisterType::int32:
      raw = static_cast<std::int32_t>(word);
      break;
    case RegisterType::uint32:
      raw = word;
      break;
    case RegisterType::float32: {
      float f;
      std::memcpy(&f, &word, sizeof f);
      raw = f;
      break;
    }
  }
  return raw * c.scale + c.offset;
}

// A Modbus exception reply: the device answered, the connection is sound.
bool isException(int error)
{
  return error > MODBUS_ENOBASE && error <= EMBXGTAR;
}

class ModbusSource : public TargetSource
{
public:
  using TargetSource::TargetSource;

  void read(std::size_t target, Reading out[channelCount]) override
  {
    const LoggerSpec &t = targets_.at(target);
    const ModbusSpec &m = t.modbus;
    std::string reason;
    if (!ctx_ && !connect(t, reason)) {
      failAll(out, reason);
      return;
    }
    modbus_set_slave(ctx_.get(), m.unit);
    setTimeout(m.timeoutMs);
    for (const Request &r : plan(m)) {
      std::uint16_t regs[4] = {};
      int n = request(r, regs);
      int error = errno;
      for (int c = 0; c < channelCount; ++c) {
        if (!r.channels[c])
          continue;
        if (n == r.count) {
          out[c].ok = true;
          out[c].value = decode(m.channels[c], regs + (m.channels[c].address - r.start));
        } else {
          out[c].reason = n < 0 ? modbus_strerror(error) : "short reply";
        }
      }
      if (n != r.count && !keepsConnection(error))
        ctx_.reset();
      if (!ctx_)
        return;
    }
  }

private:
  // Reads the request's registers (a bit as a register of 0 or 1); the
  // count read or -1 (errno set).
  int request(const Request &r, std::uint16_t *regs)
  {
    std::uint8_t bit = 0;
    int n = -1;
    switch (r.kind) {
      case RegisterKind::input:
        return modbus_read_input_registers(ctx_.get(), r.start, r.count, regs);
      case RegisterKind::holding:
        return modbus_read_registers(ctx_.get(), r.start, r.count, regs);
      case RegisterKind::discrete:
        n = modbus_read_input_bits(ctx_.get(), r.start, 1, &bit);
        break;
      case RegisterKind::coil:
        n = modbus_read_bits(ctx_.get(), r.start, 1, &bit);
        break;
    }
    regs[0] = bit;
    return n;
  }

  bool connect(const LoggerSpec &t, std::string &reason)
  {
    const ModbusSpec &m = t.modbus;
    Context ctx(t.kind == SourceKind::modbusTcp
                  ? modbus_new_tcp_pi(m.host.c_str(), std::to_string(m.port).c_str())
                  : modbus_new_rtu(m.device.c_str(), m.baud, m.parity, m.dataBits, m.stopBits));
    if (!ctx) {
      reason = modbus_strerror(errno);
      return false;
    }
    ctx_ = std::move(ctx);
    // The connect time-out of TCP is the response time-out.
    setTimeout(m.timeoutMs);
    if (modbus_connect(ctx_.get()) != 0) {
      reason = modbus_strerror(errno);
      ctx_.reset();
      return false;
    }
    return true;
  }

  void setTimeout(int ms)
  {
    auto sec = static_cast<std::uint32_t>(ms / 1000), usec = static_cast<std::uint32_t>(ms % 1000 * 1000);
    modbus_set_response_timeout(ctx_.get(), sec, usec);
    modbus_set_byte_timeout(ctx_.get(), sec, usec);
  }

  // After a failure: an exception keeps any connection; on a serial line
  // so does a time-out (another unit on the line may answer: the line is
  // flushed instead). Anything else closes it, to be made anew.
  bool keepsConnection(int error)
  {
    if (isException(error))
      return true;
    if (targets_.front().kind == SourceKind::modbusRtu &&
        (error == ETIMEDOUT || error == EMBBADCRC || error == EMBBADDATA || error == EMBBADSLAVE)) {
      modbus_flush(ctx_.get());
      return true;
    }
    return false;
  }

  Context ctx_;
};

} // namespace

std::unique_ptr<Source> makeModbusSource(const std::vector<LoggerSpec> &targets)
{
  return std::make_unique<ModbusSource>(targets);
}

} // namespace spectrum
