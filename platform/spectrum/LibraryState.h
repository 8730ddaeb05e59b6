// The one state of a library that polls devices: a State with a
// std::mutex `mutex` guarding a Devices `devices`.
#pragma once

#include "platform/spectrum/Devices.h"

#include <memory>
#include <mutex>
#include <vector>

namespace spectrum {

// get() makes the state at first use and never destroys it, as callers on
// other threads may outlive static teardown. One object of this type at
// namespace scope stops and joins the state's pollers (outside its lock)
// when the library is unloaded or the process exits; calls after that find
// no device values.
template<class State>
class LibraryState
{
public:
  LibraryState() = default;
  LibraryState(const LibraryState &) = delete;
  LibraryState &operator=(const LibraryState &) = delete;

  ~LibraryState()
  {
    State &state = get();
    std::vector<std::unique_ptr<Poller>> pollers;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      pollers = state.devices.shutDown();
    }
    pollers.clear(); // joins, outside the lock
  }

  static State &get()
  {
    static State *state = new State;
    return *state;
  }
};

} // namespace spectrum
