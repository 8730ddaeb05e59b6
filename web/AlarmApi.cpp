#include "web/AlarmApi.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <utility>

#include "web/AlarmViews.h"
#include "web/Routes.h"

namespace tmx::web {

namespace {

Reply json(const Json &j)
{
  return { 200, "application/json", jsonText(j), { { "Cache-Control", "no-store" } }, {} };
}

// "ID/VERB" after the prefix: the id and the verb, or false.
bool splitAction(const std::string &rest, std::int64_t &id, std::string &verb)
{
  const auto slash = rest.find('/');
  if (slash == std::string::npos || slash == 0 || slash > 18)
    return false;
  for (std::size_t i = 0; i < slash; ++i)
    if (rest[i] < '0' || rest[i] > '9')
      return false;
  errno = 0;
  const long long n = std::strtoll(rest.c_str(), nullptr, 10);
  if (errno != 0 || n <= 0)
    return false;
  id = n;
  verb = rest.substr(slash + 1);
  return true;
}

// The request's JSON object: "comment" (a string) and "minutes" (a whole
// number, shelve only); anything else in it is a fault.
std::string parseBody(const std::string &body, OperatorRequest &request)
{
  Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded())
    return "the body is not JSON";
  if (!j.is_object())
    return "the body is not a JSON object";
  for (auto it = j.begin(); it != j.end(); ++it) {
    const std::string &key = it.key();
    if (key == "comment") {
      if (!it->is_string())
        return "comment: a string";
      request.action.comment = it->get<std::string>();
    } else if (key == "minutes" && request.what == OperatorRequest::What::shelve) {
      if (!it->is_number_integer() || it->get<long long>() < 1 || it->get<long long>() > 1000000)
        return "minutes: a whole number";
      request.minutes = static_cast<int>(it->get<long long>());
    } else {
      return "unknown member " + printable(key);
    }
  }
  if (request.what == OperatorRequest::What::shelve && request.minutes == 0)
    return "minutes missing";
  return "";
}

} // namespace

AlarmApi::AlarmApi(AlarmState &alarms, OperatorOptions operators, std::function<double()> now)
  : alarms_(alarms)
  , operators_(std::move(operators))
  , now_(std::move(now))
{
}

Reply AlarmApi::list(const Params &params) const
{
  auto parsed = parseAlarmsQuery(params, now_());
  if (auto *reason = std::get_if<std::string>(&parsed))
    return textReply(400, *reason);
  const auto &q = std::get<AlarmsQuery>(parsed);
  try {
    const auto episodes = alarms_.list(!q.all, q.window.from, q.window.to, q.limit);
    Json list = Json::array();
    int unacknowledged = 0;
    for (const auto &e : episodes) {
      unacknowledged += e.acknowledged ? 0 : 1;
      list.push_back(q.all ? episodeJson(e, alarms_.audit(e.id)) : episodeJson(e));
    }
    Json j;
    j["state"] = q.all ? "all" : "active";
    j["count"] = episodes.size();
    j["unacknowledged"] = unacknowledged;
    j["alarms"] = std::move(list);
    return json(j);
  } catch (const std::exception &e) {
    return textReply(500, std::string("archive: ") + e.what());
  }
}

Reply AlarmApi::health(const Params &params) const
{
  auto parsed = parseHealthQuery(params);
  if (auto *reason = std::get_if<std::string>(&parsed))
    return textReply(400, *reason);
  const double hours = static_cast<double>(std::get<HealthQuery>(parsed).hours);
  try {
    return json(healthJson(alarms_.health(hours, now_()), hours));
  } catch (const std::exception &e) {
    return textReply(500, std::string("archive: ") + e.what());
  }
}

Reply AlarmApi::act(const Request &request) const
{
  std::int64_t id = 0;
  std::string verb;
  if (!splitAction(request.path.substr(std::string(alarmActionPrefix).size()), id, verb))
    return notFound(request.path);
  static const std::map<std::string, OperatorRequest::What> verbs{
    { "acknowledge", OperatorRequest::What::acknowledge },
    { "shelve", OperatorRequest::What::shelve },
    { "unshelve", OperatorRequest::What::unshelve },
  };
  const auto what = verbs.find(verb);
  if (what == verbs.end())
    return notFound(request.path);

  Authority authority = authorise(request, operators_);
  if (!authority)
    return std::move(authority.refusal);
  OperatorRequest r;
  r.what = what->second;
  r.action.by = *authority.name;
  r.action.address = request.peer;
  r.action.at = now_();
  if (!request.body.empty() || r.what == OperatorRequest::What::shelve) {
    const std::string fault = parseBody(request.body, r);
    if (!fault.empty())
      return textReply(400, fault);
  }
  AlarmState::Outcome outcome = alarms_.act(id, r);
  if (outcome.status != 200)
    return textReply(outcome.status, outcome.reason);
  try {
    return json(episodeJson(*outcome.episode, alarms_.audit(id)));
  } catch (const std::exception &) {
    return json(episodeJson(*outcome.episode)); // kept; only its trail cannot be read now
  }
}

} // namespace tmx::web
