#include "web/WebRoutes.h"

#include "web/page/Page.h"

namespace tmx::web {

Routes webRoutes(WebApi &api, const OperatorOptions &operators, const AlarmApi *alarms)
{
  Routes routes;
  routes.get("/api/current", [&api](const Request &) { return api.current(); });
  routes.get("/api/messages", [&api](const Request &r) { return api.messages(r.params); });
  routes.get("/metrics", [&api](const Request &) { return api.metrics(); });
  routes.get("/api/housekeeping", [&api](const Request &r) { return api.housekeeping(r.params); });
  routes.get("/api/events", [&api](const Request &) { return api.events(); });
  routes.get("/api/whoami", [operators](const Request &r) { return whoamiReply(r, operators); });
  if (alarms) {
    routes.get("/api/alarms", [alarms](const Request &r) { return alarms->list(r.params); });
    routes.get("/api/alarms/health", [alarms](const Request &r) { return alarms->health(r.params); });
    routes.postUnder(alarmActionPrefix, [alarms](const Request &r) { return alarms->act(r); });
  }
  routes.fallback(&pageReply);
  return routes;
}

} // namespace tmx::web
