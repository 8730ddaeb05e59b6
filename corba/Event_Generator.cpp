#include "corba/Event_Generator.h"

#include "corba/Event_Sup.h"
#include "corba/print_exception.h"
#include "framework/DateTime.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_stdlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {
const char usage_text[] = "[[-?]\n"
                          "                 [-O[RBport] ORB port number]\n"
                          "                 [-m <count> of messages to send [100]\n"
                          "                 [-f name of schedler input data file]]\n";

// Exit status for an option the program does not know: a usage error, not
// a success.
constexpr int usage_error_status = 2;

// A seconds count from the C library, widened with sign.
TimeBase::TimeT wall_seconds()
{
  return static_cast<TimeBase::TimeT>(static_cast<std::int64_t>(std::time(nullptr)));
}

// Splits off the next white-space separated token; false when none is left.
bool next_token(const char *&cursor, std::string &token)
{
  while (*cursor != '\0' && std::isspace(static_cast<unsigned char>(*cursor)))
    ++cursor;
  if (*cursor == '\0')
    return false;
  const char *start = cursor;
  while (*cursor != '\0' && !std::isspace(static_cast<unsigned char>(*cursor)))
    ++cursor;
  token.assign(start, cursor);
  return true;
}

bool parse_real(const std::string &token, double &out)
{
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(token.c_str(), &end);
  if (end == token.c_str() || *end != '\0')
    return false;
  out = v;
  return true;
}

// Unsigned decimal: a minus sign is refused rather than wrapped, and a
// value beyond 64 bits is refused rather than clipped.
bool parse_unsigned(const std::string &token, std::uint64_t &out)
{
  const char *s = token.c_str();
  if (*s == '+')
    ++s;
  if (!std::isdigit(static_cast<unsigned char>(*s)))
    return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (*end != '\0' || errno == ERANGE)
    return false;
  out = v;
  return true;
}

// The fields of "%s %lf %lf %lu %lu %lu %lu", each a whole token; returns
// how many were read before the first that is missing or malformed.
int scan_entry(const char *line, Schedule_Entry &entry)
{
  std::string token;
  const char *cursor = line;
  if (!next_token(cursor, token))
    return 0;
  entry.name = token;
  double *reals[] = { &entry.value_a, &entry.value_b };
  std::uint64_t *counts[] = { &entry.param_a, &entry.param_b, &entry.time_us, &entry.param_d };
  int scanned = 1;
  for (double *r : reals) {
    if (!next_token(cursor, token) || !parse_real(token, *r))
      return scanned;
    ++scanned;
  }
  for (std::uint64_t *c : counts) {
    if (!next_token(cursor, token) || !parse_unsigned(token, *c))
      return scanned;
    ++scanned;
  }
  return scanned;
}
} // namespace

Event_Generator::Event_Generator(ACE_Thread_Manager *thr_mgr, Event_Supplier *owner)
  : ACE_Task<ACE_MT_SYNCH>(thr_mgr)
  , owner_(owner)
{
  event_.id = 0;
  event_.arrival_time = 0;
  message_.priority = MESSAGE;
  message_.arrival_time = 0;
  housekeeping_.id = SPECTROGRAPH_HOUSING;
  housekeeping_.temp = 0;
  housekeeping_.rh = 0;
  housekeeping_.wateralarm = false;
  housekeeping_.readingTime = 0;
}

Event_Generator::~Event_Generator()
{
  stop();
  wait();
}

int Event_Generator::parse_args(int argc, char *argv[])
{
  const char *program = (argc > 0 && argv && argv[0]) ? argv[0] : "";
  ACE_Get_Opt get_opt(argc, argv, ACE_TEXT("f:m:"), 1, 0);
  for (int c; (c = get_opt()) != -1;) {
    switch (c) {
      case 'f':
        file_name_ = get_opt.opt_arg() ? get_opt.opt_arg() : "";
        if (file_name_.empty()) {
          ACE_ERROR((LM_ERROR, "%s: file name must be specified with -f option", program));
          return 1;
        }
        ACE_DEBUG((LM_DEBUG, "Reading file!\n"));
        break;
      case 'm': {
        // atoi's reading (leading number, 0 when there is none), without
        // its undefined overflow: large counts are clipped to INT_MAX.
        const long long count = std::strtoll(get_opt.opt_arg() ? get_opt.opt_arg() : "", nullptr, 10);
        if (count <= 0) {
          ACE_ERROR((LM_ERROR, "%s: count must be > 0", program));
          return 1;
        }
        count_ = static_cast<unsigned>(std::min<long long>(count, INT_MAX));
        ACE_DEBUG((LM_DEBUG, "Messages to send: %d\n", static_cast<int>(count_)));
        enabled_ = 1;
        break;
      }
      default:
        ACE_DEBUG((LM_DEBUG, "Usage: %s %s\n", program, usage_text));
        {
          // "-?" asks for the usage text; anything else is a mistake.
          const ACE_TCHAR *option = get_opt.last_option();
          const bool help = option != nullptr && std::strcmp(option, "?") == 0;
          ACE_OS::exit(help ? 0 : usage_error_status);
        }
    }
  }
  return 0;
}

int Event_Generator::svc()
{
  start_generating_events();
  return 0;
}

void Event_Generator::start_generating_events()
{
  Schedule list;
  read_schedule(list);
  if (list.empty()) {
    ACE_ERROR((LM_ERROR, "Event_Supplier::start_generating_events: there is no simulation data\n"));
    return;
  }
  Schedule_Iterator iterator{ &list, 0 };
  CORBA::Any value;
  try {
    for (unsigned queued = 0; queued < count_;) {
      ACE_DEBUG((LM_DEBUG, "Insert event data\n"));
      insert_event_data(value, iterator);
      owner_->queue_event(value);
      ++queued;
      std::lock_guard<std::mutex> guard(stop_mutex_);
      if (stop_requested_)
        break;
    }
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "event_supplier shutdown");
  }
}

void Event_Generator::read_schedule(Schedule &list)
{
  if (file_name_.empty()) {
    ACE_ERROR((LM_ERROR, "Event_Supplier::start_generating_events: no input file specified\n"));
    return;
  }
  FILE *file = ACE_OS::fopen(file_name_.c_str(), "r");
  if (file == nullptr) {
    ACE_ERROR((LM_ERROR,
               "Event_Supplier::start_generating_events: could not open input file [%s].\n",
               file_name_.c_str()));
    return;
  }
  // Lines are taken in pieces of at most 511 characters, each piece read
  // as a line of its own.
  char piece[512];
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    const char *line = piece;
    while (*line != '\0' && std::isspace(static_cast<unsigned char>(*line)))
      ++line;
    if (*line == '\0')
      continue;
    Schedule_Entry entry;
    const int scanned = scan_entry(line, entry);
    if (scanned != 7) {
      ACE_ERROR((LM_ERROR,
                 "Event_Supplier::start_generating_events: scanned incorrect number of data elements: %d\n",
                 scanned));
      break;
    }
    list.push_back(std::move(entry));
  }
  std::fclose(file);
}

void Event_Generator::insert_event_data(CORBA::Any &value, Schedule_Iterator &iterator)
{
  const Schedule_Entry *entry = iterator.current();
  if (entry == nullptr) {
    ACE_ERROR((LM_ERROR, "Event_Supplier::insert_event_data:Could Not access scheduling data"));
    iterator.advance();
    return;
  }
  try {
    ACE_DEBUG((LM_DEBUG, "Event_Supplier::insert_event_data:operation name [%s]\n\n\n", entry->name.c_str()));
    const std::string &name = entry->name;
    if (name == "HEATON") {
      event_.name = CORBA::string_dup("HEATON");
      event_.arrival_time = static_cast<TimeBase::TimeT>(currentTime());
      value <<= event_;
    } else if (name == "MESSAGE") {
      message_.text = CORBA::string_dup("THIS IS A TEST MESSAGE");
      message_.priority = MESSAGE;
      message_.arrival_time = wall_seconds();
      value <<= message_;
    } else if (name == "ALARM") {
      message_.text = CORBA::string_dup("THIS IS A TEST ALARM");
      message_.priority = ALARM;
      message_.arrival_time = wall_seconds();
      value <<= message_;
    } else if (name == "HOUSEKEEPINGDATA") {
      housekeeping_.id = SPECTROGRAPH_HOUSING;
      housekeeping_.temp = 25.5;
      housekeeping_.rh = 80.1;
      housekeeping_.wateralarm = true;
      housekeeping_.readingTime = wall_seconds();
      value <<= housekeeping_;
    } else {
      // The whole name, however long (a piece holds up to 511 characters):
      // the string is unbounded on the wire.
      value <<= name.c_str();
    }

    // Offsets count from the start of a cycle; a smaller offset than the
    // previous one starts a new cycle and waits its own offset. Unsigned
    // 64-bit arithmetic: last <= time_us here, so the difference is exact.
    if (last_us_ > entry->time_us)
      last_us_ = 0;
    pace((entry->time_us - last_us_) / 1000);
    last_us_ = entry->time_us;
  } catch (const CORBA::Exception &ex) {
    print_exception(ex, "Event_Supplier::insert_event_data");
  }
  iterator.advance();
}

void Event_Generator::pace(std::uint64_t milliseconds)
{
  if (sleeper_) {
    sleeper_(milliseconds);
    return;
  }
  if (milliseconds == 0)
    return;
  std::unique_lock<std::mutex> lock(stop_mutex_);
  // wait_for with a duration beyond the clock's range would overflow.
  const std::uint64_t limit = std::uint64_t(1) << 40;
  stop_changed_.wait_for(
    lock, std::chrono::milliseconds(std::min(milliseconds, limit)), [this] { return stop_requested_; });
}

void Event_Generator::stop()
{
  {
    std::lock_guard<std::mutex> guard(stop_mutex_);
    stop_requested_ = true;
  }
  stop_changed_.notify_all();
}
