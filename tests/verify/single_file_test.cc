// Single uploads into a release directory, run through the real executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;

class SingleFileTest : public ::testing::Test, public ReleaseFixture {};

TEST_F(SingleFileTest, MatchClearsTheMarkerAndReportsProgress) {
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  put("a.rar-missing", "");
  put("b.rar-missing", "");
  put("a.rar", "AAA");

  RunResult run = upload("a.rar", {"-G"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(console(run),
            "Checking a.rar against SFV file r.sfv...CRC okay.\r\n"
            "Upload progress: [050%] [##########----------]\r\n");
  EXPECT_EQ(files(), (Files{"-[050%]-[##########----------]-", "a.rar", "b.rar-missing", "r.sfv"}));

  put("b.rar", "BBB");
  run = upload("b.rar", {"-G"}, {{"KUVO_COMPLETE", "[complete]"}});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(console(run),
            "Checking b.rar against SFV file r.sfv...CRC okay.\r\n"
            "Upload progress: [100%] [--all-files-CRC-ok--]\r\n");
  EXPECT_EQ(files(), (Files{"[complete]", "a.rar", "b.rar", "r.sfv"}));
}

TEST_F(SingleFileTest, WithoutPublishingNoProgressLineIsPrinted) {
  put("r.sfv", sfv_line("a.rar", "AAA"));
  put("a.rar", "AAA");
  RunResult run = upload("a.rar");
  EXPECT_EQ(run.status, 3);  // complete, though nothing is published
  EXPECT_EQ(console(run), "Checking a.rar against SFV file r.sfv...CRC okay.\r\n");
  EXPECT_EQ(files(), (Files{"a.rar", "r.sfv"}));
}

TEST_F(SingleFileTest, EquivalentNameClearsTheMarkerSpelledAsInTheSfv) {
  put("r.sfv", sfv_line("a.file.rar", "AAA") + sfv_line("other.rar", "O"));
  put("a.file.rar-missing", "");
  put("other.rar-missing", "");
  put("A_FILE.RAR", "AAA");
  RunResult run = upload("A_FILE.RAR");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(files(), (Files{"A_FILE.RAR", "other.rar-missing", "r.sfv"}));
}

TEST_F(SingleFileTest, MismatchKeepsNameAndMarkerAndPublishesNothing) {
  put("r.sfv", sfv_line("a.rar", "AAA"));
  put("a.rar-missing", "");
  put("a.rar", "corrupt");
  RunResult run = upload("a.rar", {"-G", "-A2"});
  EXPECT_EQ(run.status, 6);
  EXPECT_EQ(console(run), "Checking a.rar against SFV file r.sfv...CRC failed.\r\n");
  EXPECT_EQ(files(), (Files{"a.rar", "a.rar-missing", "r.sfv"}));
  EXPECT_FALSE(exists(announce()));
}

TEST_F(SingleFileTest, UploadsThatCannotBeCheckedAreSetAside) {
  struct Row {
    const char* why;
    bool untested_mode;
    std::vector<std::pair<std::string, std::string>> release;
    int status;
    std::string console;
    Files after;
  };
  const Row rows[] = {
      {"no SFV, untested mode off: nothing changes",
       false,
       {{"a.rar", "A"}, {"a.rar-missing", ""}},
       4,
       "Skipping a.rar, you need to upload an SFV file first.\r\n",
       {"a.rar", "a.rar-missing"}},
      {"no SFV, untested mode on: renamed and its marker removed",
       true,
       {{"a.rar", "A"}, {"a.rar-missing", ""}},
       4,
       "No SFV file located, renaming a.rar to UNTESTED.\r\n",
       {"a.rar-untested"}},
      {"an SFV without entries renames even with untested mode off",
       false,
       {{"a.rar", "A"}, {"r.sfv", "; only a comment\r\n"}},
       4,
       "Error parsing SFV file r.sfv, renaming a.rar to UNTESTED.\r\n",
       {"a.rar-untested", "r.sfv"}},
      {"not listed in the SFV",
       false,
       {{"a.rar", "A"}, {"r.sfv", "b.rar 12345678\n"}, {"b.rar-missing", ""}},
       5,
       "File a.rar is not listed in SFV r.sfv, renaming to UNTESTED.\r\n",
       {"a.rar-untested", "b.rar-missing", "r.sfv"}},
      {"the upload has vanished: it cannot be opened",
       false,
       {{"r.sfv", "a.rar 12345678\n"}},
       5,
       "Unable to read file a.rar, renaming to UNTESTED.\r\n",
       {"r.sfv"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ReleaseFixture release;
    for (const auto& [name, contents] : row.release) release.put(name, contents);
    std::vector<std::string> args;
    if (row.untested_mode) args.push_back("-U");
    RunResult run = release.upload("a.rar", args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(console(run), row.console);
    EXPECT_EQ(release.files(), row.after);
  }
}

TEST_F(SingleFileTest, UploadsThatCannotBeReadGetNoVerdict) {
  put("r.sfv", "a.rar 00000000\n");  // the CRC of nothing
  mkdir(in_release("a.rar").c_str(), 0755);
  RunResult run = upload("a.rar");
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(console(run),
            "Checking a.rar against SFV file r.sfv...Unable to read file a.rar, renaming to "
            "UNTESTED.\r\n");
  EXPECT_EQ(files(), (Files{"a.rar-untested", "r.sfv"}));

  // A FIFO without a writer must neither block the run nor pass as empty.
  ASSERT_EQ(mkfifo(in_release("b.rar").c_str(), 0644), 0);
  put("r.sfv", "b.rar 00000000\n");
  run = upload("b.rar");
  EXPECT_EQ(run.status, 5);
  EXPECT_TRUE(exists(in_release("b.rar-untested")));

  // A regular file whose read fails is no match for the CRC of nothing either.
  if (!exists("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  ASSERT_EQ(symlink("/proc/self/mem", in_release("c.rar").c_str()), 0);
  put("r.sfv", "c.rar 00000000\n");
  put("c.rar-missing", "");
  run = upload("c.rar", {"-G"});
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(console(run),
            "Checking c.rar against SFV file r.sfv...Unable to read file c.rar, renaming to "
            "UNTESTED.\r\n");
  EXPECT_EQ(files(), (Files{"a.rar-untested", "b.rar-untested", "c.rar-missing", "c.rar-untested",
                            "r.sfv"}));
}

TEST_F(SingleFileTest, OnlyTheFirstSfvInListingOrderIsUsed) {
  // Whichever of the two the directory lists first, the upload is checked
  // against that one and the other is never read.
  put("x.SfV", sfv_line("a.rar", "AAA"));
  put("y.sfv", sfv_line("a.rar", "AAA"));
  put("a.rar", "AAA");
  mkdir(in_release("z.sfv").c_str(), 0755);  // a directory never counts
  RunResult run = upload("a.rar");
  EXPECT_EQ(run.status, 3);
  EXPECT_TRUE(console(run) == "Checking a.rar against SFV file x.SfV...CRC okay.\r\n" ||
              console(run) == "Checking a.rar against SFV file y.sfv...CRC okay.\r\n")
      << console(run);
}

TEST_F(SingleFileTest, SfvEntriesOutsideTheReleaseNeverTouchOtherDirectories) {
  // An uploaded SFV may name files in other releases; their markers stay.
  mkdir((sandbox() / "other").c_str(), 0755);
  write_file(sandbox() / "other/x.rar-missing", "");
  put("r.sfv", sfv_line("../other/x.rar", "X") + sfv_line("a.rar", "A"));
  put("a.rar-missing", "");
  write_file(sandbox() / "other/x.rar", "X");
  RunResult run = upload("../other/x.rar");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(exists(sandbox() / "other/x.rar-missing"));
}

}  // namespace
}  // namespace kuvo::testing
