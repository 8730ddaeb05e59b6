#include "web/AlertJson.h"

#include "wire/TimeText.h"

#include <cmath>
#include <ctime>
#include <iomanip>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tmx::web {

namespace {

using Json = nlohmann::json;

// "2024-05-01T12:00:00.123Z" back to Unix seconds (Alertmanager answers
// with its own precision and zone "Z" or "+00:00"); 0 when unreadable.
double parseTime(const std::string &text)
{
  std::tm tm{};
  std::istringstream in(text);
  in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
  if (in.fail())
    return 0;
  double fraction = 0;
  if (in.peek() == '.') {
    std::string digits;
    in.get();
    while (std::isdigit(in.peek()))
      digits.push_back(static_cast<char>(in.get()));
    if (!digits.empty())
      fraction = std::stod("0." + digits);
  }
  return static_cast<double>(timegm(&tm)) + fraction;
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
