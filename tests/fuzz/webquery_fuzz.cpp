// tmx-web's query parameters: any query string, split and decoded by the
// HTTP library, gives either a checked query or a one-line reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <httplib.h>

#include "web/Query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  httplib::Params params;
  httplib::detail::parse_query_text(std::string(reinterpret_cast<const char *>(data), size), params);
  const double now = 1765188000.0;
  auto h = tmx::web::parseHousekeepingQuery(params, now);
  if (auto *q = std::get_if<tmx::web::HousekeepingQuery>(&h)) {
    if (q->window.from > q->window.to || q->window.to - q->window.from > tmx::web::maxWindowSeconds ||
        q->points < 2 || q->points > 10000 || (!q->csv && !q->housing))
      std::abort();
  } else if (std::get<std::string>(h).find('\n') != std::string::npos) {
    std::abort();
  }
  auto m = tmx::web::parseMessagesQuery(params, now);
  if (auto *q = std::get_if<tmx::web::MessagesQuery>(&m)) {
    if (q->window.from > q->window.to || q->limit < 1 || q->limit > 10000)
      std::abort();
  } else if (std::get<std::string>(m).find('\n') != std::string::npos) {
    std::abort();
  }
  return 0;
}
