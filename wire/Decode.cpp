#include "wire/Decode.h"

#include "TMX.hh"
#include "wire/Quoting.h"

namespace tmx::wire {

namespace {

// A string value whatever its bound.
bool extractString(const CORBA::Any &value, std::string &out)
{
  CORBA::TypeCode_var tc = value.type();
  while (tc->kind() == CORBA::tk_alias)
    tc = tc->content_type();
  if (tc->kind() != CORBA::tk_string)
    return false;
  const char *s = nullptr;
  if (!(value >>= CORBA::Any::to_string(s, tc->length())))
    return false;
  out = s ? s : "";
  return true;
}

const char *text(const char *s)
{
  return s ? s : "";
}

} // namespace

Decoded decode(const CORBA::Any &value)
{
  Decoded d;
  d.type = typeOf(value);
  switch (d.type.kind) {
    case ValueKind::housekeeping: {
      const TMX::HousekeepingData *hk = nullptr;
      if ((d.decoded = (value >>= hk)))
        d.value = SentHousekeeping{ static_cast<unsigned long>(hk->id),
                                    hk->temp,
                                    hk->rh,
                                    static_cast<bool>(hk->wateralarm),
                                    hk->readingTime };
      break;
    }
    case ValueKind::message: {
      const TMX::Message *m = nullptr;
      if ((d.decoded = (value >>= m)))
        d.value = SentMessage{ static_cast<unsigned long>(m->priority), m->arrival_time, text(m->text.in()) };
      break;
    }
    case ValueKind::event: {
      const TMX::Event *e = nullptr;
      if ((d.decoded = (value >>= e)))
        d.value = SentEvent{ e->id, text(e->name.in()), e->arrival_time };
      break;
    }
    case ValueKind::console: {
      const Event_Comm::Event *nested = nullptr;
      if ((d.decoded = (value >>= nested)))
        d.value = SentConsole{ text(nested->tag_.in()), typeOf(nested->value_) };
      break;
    }
    case ValueKind::string: {
      std::string s;
      if ((d.decoded = extractString(value, s)))
        d.value = SentString{ std::move(s) };
      break;
    }
    case ValueKind::empty:
    case ValueKind::unknown:
      break;
  }
  return d;
}

std::optional<Record> recordOf(const Event_Comm::Event &event, double arrival)
{
  const Decoded d = decode(event.value_);
  if (const auto *hk = std::get_if<SentHousekeeping>(&d.value)) {
    if (hk->housing != ELECTRONICS_HOUSING && hk->housing != SPECTROGRAPH_HOUSING)
      return std::nullopt;
    HousekeepingRecord r;
    r.housing = hk->housing == ELECTRONICS_HOUSING ? 0 : 1;
    r.readingTime = static_cast<std::int64_t>(hk->readingTime);
    r.temperature = reading(hk->temp);
    r.humidity = reading(hk->rh);
    r.water = hk->water;
    r.arrivalTime = arrival;
    return r;
  }
  if (const auto *m = std::get_if<SentMessage>(&d.value)) {
    if (m->priority != MESSAGE && m->priority != WARNING && m->priority != ALARM)
      return std::nullopt;
    MessageRecord r;
    r.priority = static_cast<int>(m->priority);
    r.text = latin1ToUtf8(m->text.c_str());
    r.sentTime = static_cast<std::int64_t>(m->arrivalTime);
    r.arrivalTime = arrival;
    return r;
  }
  if (const auto *c = std::get_if<SentConsole>(&d.value))
    return ConsoleLine{ latin1ToUtf8(c->line.c_str()), arrival };
  return std::nullopt;
}

} // namespace tmx::wire
