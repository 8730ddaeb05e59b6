// The JSON of tmx-web's replies and events: objects keep their keys in the
// order they were set, and the text is one line.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tmx::web {

using Json = nlohmann::ordered_json;

// Compact text; control characters escaped (so one line), invalid UTF-8
// replaced rather than thrown on.
inline std::string jsonText(const Json &j)
{
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace tmx::web
