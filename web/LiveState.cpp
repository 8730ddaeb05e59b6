#include "web/LiveState.h"

namespace tmx::web {

LiveState::LiveState(const Clock &clock)
  : clock_(clock)
{
}

void LiveState::update(const archive::HousekeepingRecord &record)
{
  if (record.housing < 0 || record.housing >= archive::housingCount)
    return;
  std::lock_guard<std::mutex> lock(mutex_);
  last_[static_cast<std::size_t>(record.housing)] = record;
}

void LiveState::setLimits(const LimitsSet &limits)
{
  std::lock_guard<std::mutex> lock(mutex_);
  limits_ = limits;
}

std::optional<archive::HousekeepingRecord> LiveState::last(int housing) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return last_.at(static_cast<std::size_t>(housing));
}

LiveState::Housing LiveState::housing(int housing) const
{
  const auto index = static_cast<std::size_t>(housing);
  std::lock_guard<std::mutex> lock(mutex_);
  Housing h;
  h.last = last_.at(index);
  if (limits_)
    h.limits = (*limits_)[index];
  return h;
}

} // namespace tmx::web
