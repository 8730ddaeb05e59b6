// Alerts and silences as Alertmanager's API v2 has them (POST
// /api/v2/alerts, POST and GET /api/v2/silences), free of HTTP.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tmx::web {

using LabelSet = std::map<std::string, std::string>;

struct Alert
{
  LabelSet labels;
  LabelSet annotations;
  double startsAt = 0; // Unix seconds
  double endsAt = 0;
  std::string generatorUrl;

  // What tells two alerts apart: alertname and episode.
  std::string key() const;
  // The same alert with the same text (the times apart).
  bool sameAs(const Alert &other) const;
};

// A silence whose matchers are all equality matchers on labels.
struct Silence
{
  std::string id; // "" until Alertmanager has made it
  LabelSet matchers;
  double startsAt = 0;
  double endsAt = 0;
  std::string createdBy;
  std::string comment;
  std::string state; // as listed: "active", "pending", "expired"
};

// RFC 3339 in UTC with milliseconds.
std::string rfc3339(double unixSeconds);

std::string alertsBody(const std::vector<Alert> &alerts);
// With the id when it has one (Alertmanager then replaces that silence).
std::string silenceBody(const Silence &silence);
// The silenceID of POST /api/v2/silences' answer.
std::optional<std::string> silenceIdOf(const std::string &answer);
// GET /api/v2/silences' answer; silences with any other kind of matcher
// are left out. nullopt when the answer is not such a list.
std::optional<std::vector<Silence>> parseSilences(const std::string &answer);

} // namespace tmx::web
