#include "web/RecordCheck.h"

#include <cmath>

#include "wire/TimeText.h"

namespace tmx::web {

namespace {

const char *const reasons[] = { "future", "past" };

} // namespace

RecordCheck::RecordCheck(Report report)
  : report_(std::move(report))
{
}

std::string RecordCheck::clockStep(const archive::HousekeepingRecord &record)
{
  if (record.housing < 0 || record.housing >= archive::housingCount)
    return std::string();
  const auto h = static_cast<std::size_t>(record.housing);
  const std::int64_t t = record.readingTime;
  std::string text;
  if (last_[h] && t < *last_[h] - clockStepSeconds && !stepped_[h]) {
    stepped_[h] = true;
    text =
      std::string("the ") + archive::housingName(record.housing) + " housing's reading time stepped back " +
      std::to_string(*last_[h] - t) + " s, from " + wire::isoUtc(*last_[h]) + " to " + wire::isoUtc(t) +
      " (the monitor's clock was set back): records of reading times stored already are kept beside them";
  }
  if (stepped_[h] && highest_[h] && t > *highest_[h])
    stepped_[h] = false; // the step is overtaken
  last_[h] = t;
  if (!highest_[h] || t > *highest_[h])
    highest_[h] = t;
  return text;
}

const char *RecordCheck::refusal(const archive::HousekeepingRecord &record, double now)
{
  const double t = static_cast<double>(record.readingTime);
  int reason = -1;
  if (t > now + maxAheadSeconds)
    reason = 0;
  else if (t < earliestReading)
    reason = 1;

  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reason < 0) {
      std::string counts;
      for (int r = 0; r < 2; ++r) {
        if (refusedInEpisode_[r] == 0)
          continue;
        counts += (counts.empty() ? "" : ", ") + std::to_string(refusedInEpisode_[r]) +
                  " refused as from the " + reasons[r];
        refusedInEpisode_[r] = 0;
      }
      if (!counts.empty())
        text = "housekeeping records taken again (" + counts + ")";
      const std::string step = clockStep(record);
      if (!step.empty())
        text += (text.empty() ? "" : "; ") + step;
    } else if (refusedInEpisode_[reason]++ == 0) {
      const std::string when = wire::isoUtc(record.readingTime);
      const std::string shown = when.empty() ? std::to_string(record.readingTime) : when;
      text = std::string("refusing housekeeping records of the ") + archive::housingName(record.housing) +
             " housing read at " + shown +
             (reason == 0 ? ", " + std::to_string(std::llround(t - now)) +
                              " s ahead of this machine's clock (at most " +
                              std::to_string(static_cast<int>(maxAheadSeconds)) + " s)"
                          : ", before 2000") +
             "; they are counted, neither shown nor archived";
    }
  }
  if (!text.empty())
    report_(text);
  return reason < 0 ? nullptr : reasons[reason];
}

} // namespace tmx::web
