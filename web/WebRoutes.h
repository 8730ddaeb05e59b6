// tmx-web's route table: the handlers of WebApi, who the client acts
// as (/api/whoami) and the dashboard page.
#pragma once

#include "web/AlarmApi.h"
#include "web/Api.h"
#include "web/Operator.h"
#include "web/Routes.h"

namespace tmx::web {

// api (and alarms, when given) are used by the routes and must outlive
// them; operators say who may act on alarms (by default nobody:
// read-only).
Routes webRoutes(WebApi &api, const OperatorOptions &operators = {}, const AlarmApi *alarms = nullptr);

} // namespace tmx::web
