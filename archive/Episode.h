// An alarm episode as tmx-web keeps it: one alarm of one housing from its
// first trip until it is over, with what operators did about it. Plain
// data: web/AlarmBook.h makes and changes episodes, the archive stores them
// (schema version 3), tmx-history exports them.
//
// Times are Unix seconds with fractions (arrival times here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tmx::archive {

// Who did something, when, from where, and why.
struct OperatorAction
{
  std::string by;      // the operator's name
  std::string address; // the client's address as tmx-web saw it
  double at = 0;
  std::string comment; // up to maxCommentLength characters, as given
};

struct Shelving
{
  OperatorAction action;
  double until = 0;
};

struct Episode
{
  std::int64_t id = 0; // unique in its archive, from 1
  std::optional<int> housing;
  std::string kind;     // alarmtext::kindName()
  std::string source;   // what tells two alarms of one kind apart, or ""
  std::string severity; // "critical" or "warning"
  std::string text;     // the latest message text
  double opened = 0;
  double lastTrip = 0;
  std::int64_t trips = 1;
  std::optional<double> peakValue;
  std::optional<double> peakAt;
  std::optional<double> cleared;
  std::string clearedWhy; // "" while active
  std::optional<OperatorAction> acknowledged;
  std::optional<Shelving> shelved;
  // Water and condensation: cleared but unacknowledged, the episode stays
  // among the active ones.
  bool latching = false;

  bool active() const { return !cleared.has_value(); }
  // Cleared, latching and not yet acknowledged.
  bool latched() const { return cleared && latching && !acknowledged; }
};

// One line of the audit trail.
struct AuditEntry
{
  std::int64_t episode = 0;
  std::string action; // "acknowledge", "shelve", "unshelve"
  OperatorAction by;
  std::optional<double> until; // shelve only
};

constexpr std::size_t maxCommentLength = 500;

} // namespace tmx::archive
