// A fixture for tests of the port reader: it collects the reader's error
// reports for the length of each test (the reporter is called on the
// readers' threads, hence the lock); takeReports() reads and clears them.
#pragma once

#include "platform/dlportio/DlPortIO.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace tmx::test {

class PortReportsTest : public ::testing::Test
{
protected:
  void SetUp() override { DlPortSetErrorReporter(&record); }
  void TearDown() override { DlPortSetErrorReporter(nullptr); }

  // The reports since the last call, oldest first.
  static std::vector<std::string> takeReports()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(reports_);
    return out;
  }

private:
  static void record(const char *text)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(text);
  }

  static inline std::mutex mutex_;
  static inline std::vector<std::string> reports_;
};

} // namespace tmx::test
