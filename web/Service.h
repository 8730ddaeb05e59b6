// tmx-web as a whole: the consumer the notifier pushes to, the connection
// to the notifier, and the program (command line, start, shutdown).
#pragma once

#include <optional>

#include "Event_Comm.hh"
#include "web/Ingest.h"

namespace tmx::web {

// The record kept for an event: housekeeping data, an alarm message or a
// console line (a nested Event_Comm::Event whose tag_ is the line);
// nothing for other kinds and for housings or priorities the monitor does
// not have. Texts are taken as Latin-1 and kept as UTF-8. arrival: Unix
// seconds, now.
std::optional<Record> decodeEvent(const Event_Comm::Event &event, double arrival);

// The program: tmx-web [ORB options] [--archive FILE] [--listen ADDR:PORT]
// [--keep-days N]. Returns the exit status.
int runWeb(int argc, char **argv);

} // namespace tmx::web
