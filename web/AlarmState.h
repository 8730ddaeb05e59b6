// tmx-web's alarms as state: the alarm book (web/AlarmBook.h) fed by what
// arrives and by operators, every change stored in the archive before it
// is shown (an acknowledgement answered is an acknowledgement kept) and
// streamed to the event clients as "alarm" events. Safe from any thread;
// one lock orders the book and its writes.
//
// A change the archive refuses (a full disk) is kept, bounded, and written
// again at the next tick; the failure is reported once, and its end. An
// operator's action the archive refuses changes nothing and is answered
// with 503.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/Episode.h"
#include "web/AlarmBook.h"
#include "web/AlarmHealth.h"
#include "web/EventHub.h"
#include "web/Subscription.h"

namespace tmx::web {

class AlarmState
{
public:
  using Report = std::function<void(const std::string &)>;

  // Restores the current episodes from the archive (state survives a
  // restart). Throws archive::Error when the archive cannot be read.
  AlarmState(archive::Archive &archive, EventHub &hub, Report report, int maxShelveMinutes);

  void setLimits(const LimitsSet &limits);
  // Called after an episode changed (opened, tripped, cleared, acted on),
  // never under the lock; it must return at once (a poke, not the work).
  // Set before the first input.
  void onChange(std::function<void()> observer) { observer_ = std::move(observer); }

  void message(const wire::MessageRecord &message);
  void housekeeping(const wire::HousekeepingRecord &record);
  // Once a second: shelvings that expire, the silent monitor, the link;
  // and changes the archive refused before are written again.
  void tick(double now, const LinkStatus &link, double started);

  // The answer to an operator's request: status 200 with the episode,
  // 404 for an unknown id, 400 for a request the rules refuse, 503 when the
  // archive cannot keep it.
  struct Outcome
  {
    int status = 200;
    std::optional<archive::Episode> episode;
    std::string reason; // when status is not 200
  };
  Outcome act(std::int64_t id, const OperatorRequest &request);

  // Newest first: the current episodes (activeOnly), or every episode
  // whose life overlaps [from, to].
  std::vector<archive::Episode> list(bool activeOnly, double from, double to, std::size_t limit) const;
  std::vector<archive::AuditEntry> audit(std::int64_t episode) const;
  // The figures over the last `hours` hours.
  AlarmHealth health(double hours, double now) const;
  std::vector<AlarmBook::Count> counts() const;
  // Episodes opened since start.
  std::uint64_t opened() const;
  int maxShelveMinutes() const { return book_.maxShelveMinutes(); }

private:
  // Runs f on the book, then stores and streams what it changed; the lock
  // is held. Whether anything changed.
  bool change(const std::function<Changes()> &f);
  // change() under the lock, then the observer when anything changed.
  void update(const std::function<Changes()> &f);
  void changed() const
  {
    if (observer_)
      observer_();
  }
  bool write(const Changes &changes, bool synced, std::string &why);
  Outcome applyAction(std::int64_t id, const OperatorRequest &request);

  archive::Archive &archive_;
  EventHub &hub_;
  Report report_;
  std::function<void()> observer_;
  mutable std::mutex mutex_;
  AlarmBook book_;
  Changes unwritten_; // refused by the archive, written again at the tick
  bool failing_ = false;
  std::uint64_t opened_ = 0;
};

} // namespace tmx::web
