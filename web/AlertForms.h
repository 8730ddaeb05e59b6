// What an alarm episode is to Alertmanager: the alerts it raises (its own,
// and TmxAlarmUnacknowledged once it has waited too long) and the silence
// that an acknowledgement or a shelving puts on its own alert. Pure: every
// call takes `now`.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "archive/Episode.h"
#include "web/AlertJson.h"

namespace tmx::web {

struct AlertSettings
{
  std::vector<std::string> urls; // Alertmanagers, each given every alert
  std::string externalUrl;       // the dashboard as people reach it
  std::string instrument;
  double escalateAfter = 15 * 60; // seconds unacknowledged before the page
  double interval = 30;           // seconds between postings; alerts end 3 intervals ahead
};

// "TmxWaterLeak" for "water" ..., "TmxAlarm" for a kind without its own.
const char *alertName(const std::string &kind);

// Needs attention: active and not shelved, or latched.
bool needsAttention(const archive::Episode &episode, double now);

// The alerts firing for the episode at `now` (none, one, or two).
std::vector<Alert> alertsOf(const archive::Episode &episode, const AlertSettings &settings, double now);

// The silence its own alert should have: acknowledged and active (ending a
// week after the acknowledgement, a week further each week), or shelved
// (ending with the shelving). createdBy is the operator.
std::optional<Silence> silenceOf(const archive::Episode &episode, const AlertSettings &settings, double now);

// Whether a listed silence has the form silenceOf gives, for this
// instrument: matchers alertname, instrument and episode alone. Its
// episode id then, or nullopt.
std::optional<std::int64_t> episodeOfSilence(const Silence &silence, const AlertSettings &settings);

} // namespace tmx::web
