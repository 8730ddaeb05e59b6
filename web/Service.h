// tmx-web as a program: its command line, the start of its parts (the
// archive and the ingest queue, the live state, the subscription to the
// notifier and its consumer, the HTTP server) and their shutdown.
#pragma once

namespace tmx::web {

// The program: tmx-web [ORB options] [--archive FILE] [--listen ADDR:PORT]
// [--keep-days N] [--config FILE] [--max-per-address N]. Returns the exit
// status.
int runWeb(int argc, char **argv);

} // namespace tmx::web
