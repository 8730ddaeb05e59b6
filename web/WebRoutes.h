// tmx-web's route table: the handlers of WebApi and the dashboard page.
#pragma once

#include "web/Api.h"
#include "web/Routes.h"

namespace tmx::web {

// api is used by the routes and must outlive them.
Routes webRoutes(WebApi &api);

} // namespace tmx::web
