// tmx-web as a client of Alertmanager: every episode that needs attention
// is an alert posted to every Alertmanager given, again each interval with
// its end three intervals ahead (a dead tmx-web lets its alerts expire),
// and once more with its end now when it no longer needs attention. An
// acknowledgement or a shelving is a silence on the episode's alert,
// expired before the alert is resolved (Alertmanager sends no resolved
// notification for an alert resolved while silenced).
//
// The state lives in tmx-web: each round recomputes what is due from the
// current episodes, so an Alertmanager that was down is brought up to date
// by the next round that reaches it; only resolutions not yet sent are
// kept (bounded). An Alertmanager that fails is tried again after 1 s,
// doubling to 30 s, and is reported once when it fails and once when it
// answers again. The silences made before a restart (or before an
// Alertmanager was down) are looked up (GET /api/v2/silences) and those
// that are as they should be are kept rather than made twice; the others
// of that form, which a person may have made, are left alone.
//
// Thread-compatible: one thread runs the rounds (web/AlertLoop.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/Episode.h"
#include "web/AlertForms.h"
#include "web/AlertSender.h"

namespace tmx::web {

class AlertClient
{
public:
  using Report = std::function<void(const std::string &)>;
  // After each exchange with an Alertmanager: its URL, and whether it
  // succeeded.
  using Outcome = std::function<void(const std::string &url, bool ok)>;

  static constexpr std::size_t maxUnsentResolutions = 1000;
  static constexpr double firstRetry = 1, lastRetry = 30;

  AlertClient(AlertSettings settings, AlertSender &sender, Report report, Outcome outcome = {});

  // One round at `now` (Unix seconds) over the current episodes: to each
  // Alertmanager not waiting to be tried again, what has changed or is due.
  void round(const std::vector<archive::Episode> &current, double now);

  // Whether the last exchange with url succeeded (nullopt before any).
  std::optional<bool> up(const std::string &url) const;
  std::size_t unsentResolutions(const std::string &url) const;

private:
  struct Target
  {
    std::string url;                     // without a trailing '/'
    std::map<std::string, Alert> firing; // by key, as last posted
    double lastPost = -std::numeric_limits<double>::infinity();
    std::deque<Alert> resolutions;
    std::map<std::int64_t, Silence> silences; // ours, by episode
    bool silencesKnown = false;
    std::optional<bool> up;
    double retryAt = 0;
    double backoff = firstRetry;
  };

  void roundOf(Target &t,
               const std::map<std::string, Alert> &firing,
               const std::map<std::int64_t, Silence> &silences,
               double now);
  // false when the exchange failed (the target then backs off).
  bool exchange(Target &t,
                const char *method,
                const std::string &path,
                const std::string &body,
                double now,
                HttpExchange *answer = nullptr);
  bool loadSilences(Target &t, const std::map<std::int64_t, Silence> &wanted, double now);
  const Target *find(const std::string &url) const;

  AlertSettings settings_;
  AlertSender &sender_;
  Report report_;
  Outcome outcome_;
  std::vector<Target> targets_;
};

} // namespace tmx::web
