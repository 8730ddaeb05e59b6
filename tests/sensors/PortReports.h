// The port reader's error reports as a test collects them: installed with
// DlPortSetErrorReporter(&recordReport), read and cleared by takeReports().
// The reporter is called on the readers' threads, hence the lock.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tmx::test {

namespace detail {
inline std::mutex reportsMutex;
inline std::vector<std::string> reports;
} // namespace detail

inline void recordReport(const char *text)
{
  std::lock_guard<std::mutex> lock(detail::reportsMutex);
  detail::reports.push_back(text);
}

// The reports since the last call, oldest first.
inline std::vector<std::string> takeReports()
{
  std::lock_guard<std::mutex> lock(detail::reportsMutex);
  std::vector<std::string> out;
  out.swap(detail::reports);
  return out;
}

} // namespace tmx::test
