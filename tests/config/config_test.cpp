// The configuration file: format rules, lookups, and the rewrite through
// "tmx.$$$" that never leaves tmx.cfg broken.
#include "app/ConfigFile.h"
#include "app/Configuration.h"
#include "app/RunDirectories.h"
#include "tests/support/TestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using tmx::test::CaptureFd;
using tmx::test::readFile;
using tmx::test::ScopedEnv;
using tmx::test::TempDir;

namespace {

bool exists(const std::string &path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

mode_t modeOf(const std::string &path)
{
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    return 0;
  return st.st_mode & 07777;
}

class Config : public ::testing::Test
{
protected:
  // Writes tmx.cfg and reads it into cfg_; returns initialize's result.
  short load(const std::string &text)
  {
    dir_.write("tmx.cfg", text);
    return cfg_.initialize("tmx.cfg");
  }
  std::vector<std::string> values(const char *key)
  {
    std::unique_ptr<ConfigItem> item;
    if (cfg_.getItem(key, item) != 1)
      return { "<not found>" };
    return item->values;
  }
  // Runs write() and returns what it printed.
  std::string write()
  {
    CaptureFd captured(1);
    cfg_.write();
    return captured.release();
  }
  std::string cfgText() { return readFile(path_); }

  TempDir dir_;
  ScopedEnv env_{ "TMX_CONFIG_DIR", dir_.path() };
  std::string path_ = dir_.file("tmx.cfg");
  std::string tmp_ = dir_.file("tmx.$$$");
  ConfigFile cfg_;
};

TEST_F(Config, SensorLineIsReadAndRewrittenNormalised)
{
  const std::string line = "TMX-S1 V3.5-Beta3 2 0x3bc 0x20   # spectrograph housing\n";
  ASSERT_EQ(1, load(line));
  ASSERT_EQ(1u, cfg_.entries().size());
  const ConfigEntry &e = cfg_.entries()[0];
  EXPECT_EQ("TMX-S1", e.item.key);
  EXPECT_THAT(e.item.values, ElementsAre("V3.5-Beta3", "2", "0x3bc", "0x20"));
  EXPECT_EQ(4, e.item.valueCount());
  EXPECT_EQ("# spectrograph housing", e.comment);
  EXPECT_EQ(0, e.lineOffset);

  std::string out = write();
  EXPECT_EQ("Writing config file items to " + path_ + "\n", out);
  EXPECT_EQ("TMX-S1 V3.5-Beta3,2,0x3bc,0x20\t# spectrograph housing\n", cfgText());
  EXPECT_FALSE(exists(tmp_));
}

TEST_F(Config, DelimitersLineEndsAndComments)
{
  const std::string a = "A 1,2\t3 ,, 4\r\n", b = "B x#no blank before\r\n";
  ASSERT_EQ(1,
            load(a + b +
                 "C y\n"
                 "   \t  # blank after the cut\n"
                 "\n"
                 "D z\r"));
  EXPECT_THAT(values("A"), ElementsAre("1", "2", "3", "4"));
  EXPECT_THAT(values("B"), ElementsAre("x"));
  EXPECT_EQ("#no blank before", cfg_.entries()[1].comment);
  EXPECT_EQ("", cfg_.entries()[0].comment);
  EXPECT_THAT(values("C"), ElementsAre("y"));
  // A final CR without LF is a delimiter, not part of the value.
  EXPECT_THAT(values("D"), ElementsAre("z"));
  ASSERT_EQ(4u, cfg_.entries().size());
  EXPECT_EQ(static_cast<long>(a.size()), cfg_.entries()[1].lineOffset);
  EXPECT_EQ(static_cast<long>(a.size() + b.size()), cfg_.entries()[2].lineOffset);
}

TEST_F(Config, KeyAloneAndLowerCaseKeys)
{
  ASSERT_EQ(1, load("LONELY\nLONELY2   # only a comment\ntmx-s1 V1 1\n"));
  ASSERT_EQ(1u, cfg_.entries().size());
  std::unique_ptr<ConfigItem> item;
  EXPECT_EQ(0, cfg_.getItem("LONELY", item));
  EXPECT_EQ(0, cfg_.getItem("TMX-S1", item));
  EXPECT_EQ(nullptr, item);
  EXPECT_EQ(1, cfg_.getItem("tmx-s1", item));
  EXPECT_EQ(0, cfg_.getItem(nullptr, item));
}

TEST_F(Config, QuotedValues)
{
  ASSERT_EQ(1,
            load("PAIR \"two words\"\n"
                 "COMMA \"a,b\tc\"\n"
                 "LONE \"word\"\n"
                 "OPEN v \"never closed\n"
                 "HASH \"a # b\"\n"));
  EXPECT_THAT(values("PAIR"), ElementsAre("\"two words\""));
  EXPECT_THAT(values("COMMA"), ElementsAre("\"a b c\""));
  // A lone quoted word opens a value that never closes: no entry.
  EXPECT_THAT(values("LONE"), ElementsAre("<not found>"));
  EXPECT_THAT(values("OPEN"), ElementsAre("v"));
  // "#" cuts the line even inside quotes; the open quote is dropped.
  EXPECT_THAT(values("HASH"), ElementsAre("<not found>"));
}

// Decided here: after a quoted value closes, plain tokens are plain values
// again and a second quoted value is collected afresh.
TEST_F(Config, TokensAfterAQuotedValueAndASecondQuotedValue)
{
  ASSERT_EQ(1, load("K \"a b\" c \"d e\" f\n"));
  EXPECT_THAT(values("K"), ElementsAre("\"a b\"", "c", "\"d e\"", "f"));
  write();
  EXPECT_EQ("K \"a b\",c,\"d e\",f\n", cfgText());
  ASSERT_EQ(1, cfg_.initialize("tmx.cfg"));
  EXPECT_THAT(values("K"), ElementsAre("\"a b\"", "c", "\"d e\"", "f"));
}

// Decided here: quoted values longer than 63 characters are kept whole
// (the line piece bounds them) and survive a rewrite unchanged.
TEST_F(Config, LongQuotedValueIsKeptWhole)
{
  std::string words;
  for (int i = 0; i < 20; ++i)
    words += (i ? " word" : "\"word") + std::to_string(i);
  words += "\"";
  ASSERT_GT(words.size(), 63u);
  ASSERT_EQ(1, load("Q " + words + " tail\n"));
  EXPECT_THAT(values("Q"), ElementsAre(words, "tail"));
  write();
  ASSERT_EQ(1, cfg_.initialize("tmx.cfg"));
  EXPECT_THAT(values("Q"), ElementsAre(words, "tail"));
}

TEST_F(Config, TwentyValuesAcceptedTwentyOneStopReading)
{
  std::string twenty = "K20";
  for (int i = 1; i <= 20; ++i)
    twenty += " v" + std::to_string(i);
  ASSERT_EQ(1, load("FIRST 1\n" + twenty + "\nK21" + twenty.substr(3) + " v21\nLATER 2\n"));
  EXPECT_EQ(20u, values("K20").size());
  EXPECT_THAT(values("K21"), ElementsAre("<not found>"));
  EXPECT_THAT(values("LATER"), ElementsAre("<not found>"));
  EXPECT_THAT(values("FIRST"), ElementsAre("1"));

  std::vector<ConfigEntry> entries;
  EXPECT_EQ(-1, configformat::parseEntries(twenty + " v21\n", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(1, configformat::parseEntries(twenty + "\n", entries));
  // A quoted value is one stored token however many words it has.
  entries.clear();
  EXPECT_EQ(1, configformat::parseEntries(twenty.substr(0, twenty.rfind(' ')) + " \"a b c d\"\n", entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("\"a b c d\"", entries[0].item.values.back());
}

TEST_F(Config, LongLinesAreReadInPiecesOf249)
{
  // Piece 1: "A " + 245 'v' + " B" (249 bytes); piece 2: " 1\n" (key only).
  std::string longLine = "A " + std::string(245, 'v') + " B 1\n";
  ASSERT_EQ(1, load(longLine + "C 3\n" + std::string(600, 'x') + "\nD 4 #d\n"));
  EXPECT_THAT(values("A"), ElementsAre(std::string(245, 'v'), "B"));
  EXPECT_THAT(values("1"), ElementsAre("<not found>"));
  EXPECT_THAT(values("D"), ElementsAre("4"));
  ASSERT_EQ(3u, cfg_.entries().size());
  EXPECT_EQ(static_cast<long>(longLine.size()), cfg_.entries()[1].lineOffset);
  EXPECT_EQ(static_cast<long>(longLine.size() + 4 + 601), cfg_.entries()[2].lineOffset);

  // A comment split over pieces: the second piece is a line of its own.
  ASSERT_EQ(1, load("E 5 #" + std::string(300, 'c') + "\n"));
  ASSERT_EQ(1u, cfg_.entries().size());
  EXPECT_EQ(249u - 4u, cfg_.entries()[0].comment.size());
}

TEST_F(Config, DuplicateKeysFirstMatchWins)
{
  ASSERT_EQ(1, load("DUP 1 #first\nDUP 2 #second\n"));
  EXPECT_THAT(values("DUP"), ElementsAre("1"));
  cfg_.replaceItem(ConfigItem("DUP", { "9", "8" }));
  EXPECT_THAT(values("DUP"), ElementsAre("9", "8"));
  EXPECT_EQ("#first", cfg_.entries()[0].comment);
  EXPECT_EQ(0, cfg_.entries()[0].lineOffset);
  EXPECT_THAT(cfg_.entries()[1].item.values, ElementsAre("2"));
  // No entry with that key: nothing changes.
  cfg_.replaceItem(ConfigItem("NONE", { "1" }));
  EXPECT_EQ(2u, cfg_.entries().size());
  write();
  EXPECT_EQ("DUP 9,8\t#first\nDUP 2\t#second\n", cfgText());
}

TEST_F(Config, AddItemAndClearEntries)
{
  ASSERT_EQ(1, load("# head\nOLD 1\n"));
  EXPECT_EQ(1, cfg_.addItem("NEW", "v"));
  EXPECT_EQ(1, cfg_.addItem("BARE", nullptr));
  EXPECT_EQ(1, cfg_.addItem("OLD", "shadowed"));
  EXPECT_EQ(0, cfg_.addItem(nullptr, "v"));
  EXPECT_THAT(values("OLD"), ElementsAre("1"));
  std::unique_ptr<ConfigItem> bare;
  ASSERT_EQ(1, cfg_.getItem("BARE", bare));
  EXPECT_EQ(0, bare->valueCount());
  EXPECT_EQ(0, cfg_.entries()[1].lineOffset);
  write();
  EXPECT_EQ("# head\nOLD 1\nNEW v\nBARE \nOLD shadowed\n", cfgText());

  cfg_.clearEntries();
  EXPECT_TRUE(cfg_.entries().empty());
  EXPECT_THAT(values("OLD"), ElementsAre("<not found>"));
}

TEST_F(Config, HeadIsCopiedByteForByteAndLaterNonEntriesDropped)
{
  const std::string head = "# TMX site settings\r\n\n \t# indented comment\t\r\n  \nKEYONLY\n";
  ASSERT_EQ(1, load(head + "TMX-E1   V3.5-Beta3 , 1 #e\n# between\n\nLOST\nTMX-S1 V3.5-Beta3 2\n# tail"));
  ASSERT_EQ(2u, cfg_.entries().size());
  EXPECT_EQ(static_cast<long>(head.size()), cfg_.entries()[0].lineOffset);
  write();
  EXPECT_EQ(head + "TMX-E1 V3.5-Beta3,1\t#e\nTMX-S1 V3.5-Beta3,2\n", cfgText());
}

// The file may be edited while the monitor runs: the rewrite takes the head
// of the file as it is then, by whole lines, never bytes counted at start-up.
TEST_F(Config, HeadIsTakenFromTheFileAsItIsAtTheRewrite)
{
  const std::string entries =
    "TMX-S1 V3.5-Beta3,1,0x378,0x20\t# spectrograph\nTMX-E1 V3.5-Beta3,2,0x378,0x40\n";
  const std::string original =
    "# head\nTMX-S1 V3.5-Beta3 1 0x378 0x20 # spectrograph\nTMX-E1 V3.5-Beta3,2,0x378,0x40\n";
  const std::string longComment =
    "#" + std::string(300, 'x') + " 1\n"; // read in two pieces, the second an entry
  struct Case
  {
    const char *what;
    std::string now;  // the file just before the rewrite
    std::string head; // what the rewrite keeps of it
  } cases[] = {
    { "head grew", "# site settings\n# head\n" + original.substr(7), "# site settings\n# head\n" },
    { "head shrank", "#\n" + original.substr(7), "#\n" },
    { "replaced, other head and entries", "# other\n\nOTHER 1\n", "# other\n\n" },
    { "replaced, no entry, no final line feed", "# only a comment", "# only a comment\n" },
    { "replaced, line that stops reading",
      "# h\n" + std::string("K") + std::string(21 * 2, ' ') +
        "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21\nTMX-S1 1\n",
      "# h\n" },
    { "first entry inside a long line", "# h\n" + longComment + original.substr(7), "# h\n" },
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(1, load(original));
    dir_.write("tmx.cfg", c.now, 0444);
    write();
    EXPECT_EQ(c.head + entries, cfgText());
    ConfigFile reread;
    ASSERT_EQ(1, reread.initialize("tmx.cfg"));
    ASSERT_EQ(2u, reread.entries().size());
    EXPECT_EQ("TMX-S1", reread.entries()[0].item.key);
  }
}

TEST_F(Config, FileWithoutEntriesIsLeftUnchanged)
{
  for (const std::string &text : { std::string(), std::string("# only comments\n\n   \n#x\r\n") }) {
    ASSERT_EQ(1, load(text));
    EXPECT_TRUE(cfg_.entries().empty());
    std::string out = write();
    EXPECT_EQ("Writing config file items to " + path_ + "\n", out);
    EXPECT_EQ(text, cfgText());
    EXPECT_FALSE(exists(tmp_));
    EXPECT_EQ(0444, modeOf(path_));
  }
}

TEST_F(Config, MissingFileIsReportedAndEntriesRemain)
{
  ASSERT_EQ(1, load("KEEP 1\n"));
  ::unlink(path_.c_str());
  CaptureFd captured(1);
  EXPECT_EQ(-1, cfg_.initialize("tmx.cfg"));
  std::string out = captured.release();
  EXPECT_THAT(
    out, HasSubstr("ERROR: ConfigFile::initialize() config file " + path_ + " either missing or invalid"));
  EXPECT_THAT(values("KEEP"), ElementsAre("1"));

  // write() then cannot open the file and leaves everything alone.
  EXPECT_EQ("Error opening " + path_ + " in  ConfigFile::write()\n", write());
  EXPECT_FALSE(exists(path_));
  EXPECT_FALSE(exists(tmp_));
}

TEST_F(Config, FifoIsRefusedNotWaitedOn)
{
  ASSERT_EQ(0, ::mkfifo(path_.c_str(), 0644));
  CaptureFd captured(1);
  EXPECT_EQ(-1, cfg_.initialize("tmx.cfg"));
  EXPECT_THAT(captured.release(), HasSubstr("either missing or invalid"));
}

TEST_F(Config, ReadOnlyBetweenRewritesWritableAfterDestruction)
{
  // The operator's own permission bits survive (only write bits change).
  struct Case
  {
    mode_t writable, readOnly;
  };
  for (const Case &c : { Case{ 0644, 0444 }, Case{ 0640, 0440 } }) {
    SCOPED_TRACE(c.writable);
    {
      ConfigFile cfg;
      dir_.write("tmx.cfg", "A 1\n", c.writable);
      ASSERT_EQ(1, cfg.initialize("tmx.cfg"));
      EXPECT_EQ(c.readOnly, modeOf(path_));
      cfg.write();
      EXPECT_EQ(c.readOnly, modeOf(path_));
    }
    EXPECT_EQ(c.writable, modeOf(path_));
  }
}

// Seam state for the rename tests.
std::string seenOld, seenTemp;
std::string seenFrom, seenTo;
int renameFails(const char *from, const char *to)
{
  seenFrom = from;
  seenTo = to;
  seenOld = readFile(to);
  seenTemp = readFile(from);
  errno = EXDEV;
  return -1;
}

TEST_F(Config, FailedRenameLeavesTheOldFileWhole)
{
  const std::string old = "# head\nTMX-S1 V3.5-Beta3  2 0x3bc 0x20   # s1\n";
  ASSERT_EQ(1, load(old));
  cfg_.replaceItem(ConfigItem("TMX-S1", { "V9", "7" }));
  ConfigFile::setRenameFunction(&renameFails);
  std::string out = write();
  ConfigFile::setRenameFunction(nullptr);

  // At the moment of the rename the old file is still there, whole, and the
  // new text is complete in the temporary file: a writer that dies at any
  // point loses nothing.
  EXPECT_EQ(tmp_, seenFrom);
  EXPECT_EQ(path_, seenTo);
  EXPECT_EQ(old, seenOld);
  EXPECT_EQ("# head\nTMX-S1 V9,7\t# s1\n", seenTemp);

  EXPECT_EQ("Writing config file items to " + path_ + "\nUnable to rename " + tmp_ + " to " + path_ + "\n",
            out);
  EXPECT_EQ(old, cfgText());
  EXPECT_EQ(0444, modeOf(path_));
  // The new text stays in the temporary file for the operator.
  EXPECT_EQ(seenTemp, readFile(tmp_));

  // The next write replaces the stale temporary file and succeeds.
  EXPECT_EQ("Writing config file items to " + path_ + "\n", write());
  EXPECT_EQ(seenTemp, cfgText());
  EXPECT_FALSE(exists(tmp_));
}

TEST_F(Config, UnopenableTemporaryFileLeavesTheOldFile)
{
  ASSERT_EQ(1, load("A 1 #a\n"));
  ASSERT_EQ(0, ::mkdir(tmp_.c_str(), 0755));
  cfg_.addItem("B", "2");
  EXPECT_EQ("Error opening " + tmp_ + " in ConfigFile::write()\n", write());
  EXPECT_EQ("A 1 #a\n", cfgText());
}

TEST_F(Config, FailedWriteLeavesTheOldFileAndNoTemporary)
{
  ASSERT_EQ(1, load("A 1\n"));
  cfg_.addItem("B", std::string(5000, 'b').c_str());
  // A file size limit makes the write fail part-way.
  struct rlimit saved;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  std::string out = write();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ("Writing config file items to " + path_ + "\nError writing " + tmp_ + "\n", out);
  EXPECT_EQ("A 1\n", cfgText());
  EXPECT_FALSE(exists(tmp_));
}

TEST_F(Config, PathsOfAnyLength)
{
  std::string deep = dir_.path();
  for (int i = 0; i < 6; ++i) {
    deep += "/" + std::string(60, static_cast<char>('a' + i));
    ASSERT_EQ(0, ::mkdir(deep.c_str(), 0755));
  }
  ASSERT_GT(deep.size(), 360u);
  ScopedEnv env("TMX_CONFIG_DIR", deep);
  std::string path = deep + "/tmx.cfg";
  std::FILE *f = std::fopen(path.c_str(), "w");
  ASSERT_NE(nullptr, f);
  std::fputs("# deep\nA 1 2\n", f);
  std::fclose(f);
  ConfigFile cfg;
  ASSERT_EQ(1, cfg.initialize("tmx.cfg"));
  EXPECT_EQ(path, cfg.path());
  cfg.addItem("B", "3");
  CaptureFd captured(1);
  cfg.write();
  EXPECT_EQ("Writing config file items to " + path + "\n", captured.release());
  EXPECT_EQ("# deep\nA 1,2\nB 3\n", readFile(path));
  EXPECT_FALSE(exists(deep + "/tmx.$$$"));
}

TEST_F(Config, CurrentDirectoryWhenUnset)
{
  ::unsetenv("TMX_CONFIG_DIR");
  char cwd[4096];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, ::chdir(dir_.path().c_str()));
  dir_.write("tmx.cfg", "A 1\n");
  {
    ConfigFile cfg;
    EXPECT_EQ(1, cfg.initialize("tmx.cfg"));
    EXPECT_EQ("./tmx.cfg", cfg.path());
    cfg.addItem("B", "2");
    CaptureFd captured(1);
    cfg.write();
    captured.release();
  }
  ASSERT_EQ(0, ::chdir(cwd));
  EXPECT_EQ("A 1\nB 2\n", cfgText());
}

TEST_F(Config, ConfigurationWrapsTheFile)
{
  dir_.write("TMX.cfg", "TMX-S1 V3.5-Beta3 2\n");
  AppConfiguration config;
  EXPECT_EQ(1, config.initialize());
  EXPECT_EQ(dir_.file("TMX.cfg"), config.file().path());
  std::unique_ptr<ConfigItem> item = std::make_unique<ConfigItem>("stale");
  ASSERT_EQ(1, config.getItem("TMX-S1", item));
  EXPECT_EQ("TMX-S1", item->key);
  item->values[1] = "5";
  config.replaceItem(std::move(item));
  EXPECT_EQ(1, config.addItem("X", "y"));
  CaptureFd captured(1);
  config.write();
  captured.release();
  EXPECT_EQ("TMX-S1 V3.5-Beta3,5\nX y\n", readFile(dir_.file("TMX.cfg")));

  Configuration &base = config;
  std::unique_ptr<ConfigItem> again;
  EXPECT_EQ(1, base.getItem("X", again));
  EXPECT_EQ(0, base.getItem("x", again));
  EXPECT_EQ("X", again->key);
}

TEST_F(Config, AGivenDirectoryIsUsedWhateverTheEnvironmentSays)
{
  TempDir other;
  other.write("tmx.cfg", "A 1\n");
  AppConfiguration config;
  EXPECT_EQ(1, config.initialize("tmx.cfg", other.path()));
  EXPECT_EQ(other.file("tmx.cfg"), config.file().path());
}

TEST(RunDirectoriesTest, FromTheEnvironment)
{
  struct Case
  {
    const char *log;
    const char *config;
    const char *wantConfig;
    const char *wantLog;
  };
  const Case cases[] = {
    { "/var/log/tmx", "/etc/tmx", "/etc/tmx", "/var/log/tmx" },
    { nullptr, "/etc/tmx", "/etc/tmx", "/etc/tmx/logfiles" },
    { nullptr, nullptr, ".", "./logfiles" },
    { "", "", ".", "./logfiles" },
  };
  for (const Case &c : cases) {
    ScopedEnv log("TMX_LOG_DIR", c.log), config("TMX_CONFIG_DIR", c.config);
    const RunDirectories dirs = RunDirectories::fromEnvironment();
    EXPECT_EQ(c.wantConfig, dirs.config) << (c.config ? c.config : "unset");
    EXPECT_EQ(c.wantLog, dirs.log) << (c.log ? c.log : "unset");
  }
}

} // namespace
