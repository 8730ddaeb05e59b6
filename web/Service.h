// tmx-web as a whole: the consumer the notifier pushes to, the connection
// to the notifier, and the program (command line, start, shutdown).
#pragma once

namespace tmx::web {

// The program: tmx-web [ORB options] [--archive FILE] [--listen ADDR:PORT]
// [--keep-days N]. Returns the exit status.
int runWeb(int argc, char **argv);

} // namespace tmx::web
