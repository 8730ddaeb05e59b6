// tmx-web's alarm handlers: GET /api/alarms and /api/alarms/health, and
// the operators' POST /api/alarms/ID/acknowledge, /shelve and /unshelve
// (a JSON object in: "comment", and "minutes" to shelve; the episode with
// its audit trail out). A POST is authorised first (web/Operator.h);
// refusals are one-line text/plain reasons. Nothing here knows the HTTP
// library.
#pragma once

#include <functional>

#include "web/AlarmState.h"
#include "web/Operator.h"
#include "web/Query.h"
#include "web/Reply.h"
#include "web/Request.h"

namespace tmx::web {

// The path prefix of the operators' requests.
constexpr const char *alarmActionPrefix = "/api/alarms/";

class AlarmApi
{
public:
  // now: the wall clock, Unix seconds.
  AlarmApi(AlarmState &alarms, OperatorOptions operators, std::function<double()> now);

  Reply list(const Params &params) const;
  Reply health(const Params &params) const;
  // Any POST under alarmActionPrefix.
  Reply act(const Request &request) const;

private:
  AlarmState &alarms_;
  const OperatorOptions operators_;
  std::function<double()> now_;
};

} // namespace tmx::web
