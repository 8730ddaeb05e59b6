#include "web/AlertJson.h"

#include "archive/TimeText.h"
#include "wire/TimeText.h"

#include <cstdlib>
#include <optional>

#include <nlohmann/json.hpp>

namespace tmx::web {

namespace {

using Json = nlohmann::json;

// An RFC 3339 time as Alertmanager writes it ("2024-05-01T12:00:00.123Z",
// or with an offset such as "+01:00") as Unix seconds; 0 when unreadable.
double parseTime(std::string text)
{
  double offset = 0;
  const std::size_t sign = text.size() > 6 ? text.size() - 6 : 0;
  if (sign && (text[sign] == '+' || text[sign] == '-') && text[sign + 3] == ':') {
    const int hours = std::atoi(text.c_str() + sign + 1);
    const int minutes = std::atoi(text.c_str() + sign + 4);
    offset = (text[sign] == '-' ? -60.0 : 60.0) * (hours * 60 + minutes);
    text.erase(sign);
  }
  const std::optional<double> t = archive::parseTime(text);
  return t ? *t - offset : 0;
}

} // namespace

std::string Alert::key() const
{
  const auto name = labels.find("alertname");
  const auto episode = labels.find("episode");
  return (name != labels.end() ? name->second : "") + "/" + (episode != labels.end() ? episode->second : "");
}

bool Alert::sameAs(const Alert &other) const
{
  return labels == other.labels && annotations == other.annotations && startsAt == other.startsAt &&
         generatorUrl == other.generatorUrl;
}

std::string rfc3339(double unixSeconds)
{
  using namespace std::chrono;
  // To the nearest millisecond: a double's seconds may lie a hair below it.
  const auto since = round<milliseconds>(duration<double>(unixSeconds));
  return wire::isoUtcMillis(system_clock::time_point(duration_cast<system_clock::duration>(since)));
}

std::string alertsBody(const std::vector<Alert> &alerts)
{
  Json list = Json::array();
  for (const Alert &a : alerts) {
    Json one = { { "labels", a.labels },
                 { "annotations", a.annotations },
                 { "startsAt", rfc3339(a.startsAt) },
                 { "endsAt", rfc3339(a.endsAt) } };
    if (!a.generatorUrl.empty())
      one["generatorURL"] = a.generatorUrl;
    list.push_back(std::move(one));
  }
  return list.dump();
}

std::string silenceBody(const Silence &s)
{
  Json matchers = Json::array();
  for (const auto &[name, value] : s.matchers)
    matchers.push_back({ { "name", name }, { "value", value }, { "isRegex", false }, { "isEqual", true } });
  Json body = { { "matchers", matchers },
                { "startsAt", rfc3339(s.startsAt) },
                { "endsAt", rfc3339(s.endsAt) },
                { "createdBy", s.createdBy },
                { "comment", s.comment } };
  if (!s.id.empty())
    body["id"] = s.id;
  return body.dump();
}

std::optional<std::string> silenceIdOf(const std::string &answer)
{
  const Json j = Json::parse(answer, nullptr, false);
  if (!j.is_object() || !j.contains("silenceID") || !j["silenceID"].is_string())
    return std::nullopt;
  return j["silenceID"].get<std::string>();
}

std::optional<std::vector<Silence>> parseSilences(const std::string &answer)
{
  const Json j = Json::parse(answer, nullptr, false);
  if (!j.is_array())
    return std::nullopt;
  std::vector<Silence> silences;
  for (const Json &s : j) {
    if (!s.is_object() || !s.value("id", Json()).is_string() || !s.value("matchers", Json()).is_array())
      continue;
    Silence one;
    bool plain = true;
    for (const Json &m : s["matchers"]) {
      if (!m.is_object() || m.value("isRegex", false) || !m.value("isEqual", true) ||
          !m.value("name", Json()).is_string() || !m.value("value", Json()).is_string()) {
        plain = false;
        break;
      }
      one.matchers[m["name"].get<std::string>()] = m["value"].get<std::string>();
    }
    if (!plain)
      continue;
    one.id = s["id"].get<std::string>();
    one.createdBy = s.value("createdBy", "");
    one.comment = s.value("comment", "");
    one.startsAt = parseTime(s.value("startsAt", ""));
    one.endsAt = parseTime(s.value("endsAt", ""));
    if (s.contains("status") && s["status"].is_object())
      one.state = s["status"].value("state", "");
    silences.push_back(std::move(one));
  }
  return silences;
}

} // namespace tmx::web
