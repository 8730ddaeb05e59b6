// tmx-web: keeps the monitor's records in an archive and serves them over
// HTTP (see web/Service.h).
#include "web/Service.h"

int main(int argc, char **argv)
{
  return tmx::web::runWeb(argc, argv);
}
