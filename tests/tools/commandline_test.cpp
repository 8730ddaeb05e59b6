// The command lines of tmx-notifier, tmx-watch and tmx-status: one reader,
// the same range checks and exit statuses everywhere. None of these runs
// reaches the naming service: accepted values end in "no naming service
// given" (exit status 1).
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using namespace tmx::test;

namespace {

struct Case
{
  std::vector<std::string> argv; // program name first
  int status;
  std::string err; // expected part of standard error
};

} // namespace

TEST(CommandLine, RangesMissingValuesAndUnknownArgumentsExitWithStatus2)
{
  const std::string noNaming = "no naming service given";
  const std::vector<Case> cases = {
    // Values beyond what the program can honour.
    { { "tmx-watch", "--timeout", "9223372036" },
      2,
      "--timeout needs a number of seconds from 1 to 4294967295" },
    { { "tmx-watch", "--timeout", "4294967295" }, 1, noNaming },
    { { "tmx-status", "--timeout", "4294967296" }, 2, "--timeout needs a number of milliseconds from 1 to" },
    { { "tmx-status", "--timeout=4294967295" }, 1, noNaming },
    { { "tmx-notifier", "--push-timeout", "4294967296" }, 2, "--push-timeout needs a number" },
    { { "tmx-notifier", "--drain", "18446744073709551616" }, 2, "--drain needs a number" },
    { { "tmx-notifier", "--max-consumers", "0" }, 2, "--max-consumers needs a number of consumers from 1" },
    { { "tmx-notifier", "--queue-bytes", "0", "--queue-limit", "0" }, 1, noNaming },
    // Not a whole number of digits.
    { { "tmx-watch", "--count", "+3" }, 2, "--count needs a number from 1" },
    { { "tmx-watch", "--count", " 3" }, 2, "--count needs a number from 1" },
    { { "tmx-status", "--timeout", "-1" }, 2, "--timeout needs a number" },
    { { "tmx-notifier", "--queue-limit", "1e3" }, 2, "--queue-limit needs a number" },
    // Missing values, values to flags, unknown options and operands.
    { { "tmx-watch", "--filter" }, 2, "--filter needs a filter" },
    { { "tmx-status", "--disconnect" }, 2, "--disconnect needs a reason" },
    { { "tmx-watch", "--json=yes" }, 2, "--json takes no value" },
    { { "tmx-watch", "--json", "--csv" }, 2, "--json and --csv exclude each other" },
    { { "tmx-notifier", "--what" }, 2, "unknown argument \"--what\"" },
    { { "tmx-status", "extra" }, 2, "unknown argument \"extra\"" },
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = c.argv;
    argv[0] = binaryPath(argv[0]);
    RunResult r = run(argv);
    std::string line = c.argv[0] + ": " + c.err;
    EXPECT_EQ(c.status, r.status.code) << c.argv[0] << " " << c.argv[1] << "\n" << r.err;
    EXPECT_NE(std::string::npos, r.err.find(line)) << r.err;
    if (c.status == 2) {
      EXPECT_NE(std::string::npos, r.err.find(c.argv[0] + " --help shows the usage")) << r.err;
    }
    EXPECT_EQ("", r.out);
  }
  for (const char *program : { "tmx-notifier", "tmx-watch", "tmx-status" })
    for (const char *help : { "-h", "--help" }) {
      RunResult r = run({ binaryPath(program), help });
      EXPECT_EQ(0, r.status.code) << program;
      EXPECT_EQ(0u, r.out.rfind(std::string("usage: ") + program, 0)) << r.out;
      EXPECT_NE(std::string::npos, r.out.find("Exit status"));
    }
}
