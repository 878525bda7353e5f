// An SFV arriving in a release directory, run through the real executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;

class SfvArrivalTest : public ::testing::Test, public ReleaseFixture {};

TEST_F(SfvArrivalTest, UntestedUploadsAreRetestedAndMarkersLaidOut) {
  // Before the SFV, untested mode sets every upload aside.
  put("a.rar", "AAA");
  put("b.rar", "BBB");
  EXPECT_EQ(upload("a.rar", {"-U"}).status, 4);
  EXPECT_EQ(upload("b.rar", {"-U"}).status, 4);
  put("c.rar-UNTESTED", "CCC");  // the suffix test ignores case
  put("d.rar-untested", "DDD");  // not in the SFV
  EXPECT_EQ(files(),
            (Files{"a.rar-untested", "b.rar-untested", "c.rar-UNTESTED", "d.rar-untested"}));

  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "not BBB") + sfv_line("c.rar", "CCC") +
                   sfv_line("e.rar", "EEE") + sfv_line("info.nfo", "N"));
  RunResult run = upload("r.sfv", {"-U"});
  EXPECT_EQ(run.status, 0);
  // Listing order decides the order of the re-test lines.
  std::string out = console(run);
  EXPECT_EQ(out.rfind("Testing UNTESTED files against r.sfv...\r\n", 0), 0u) << out;
  for (const char* line :
       {"Testing a.rar...CRC okay.\r\n", "Testing b.rar...CRC failed, renaming to BAD.\r\n",
        "Testing c.rar...CRC okay.\r\n", "Testing d.rar...not in SFV, skipping.\r\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(out.ends_with("Creating MISSING files from r.sfv...\r\n")) << out;
  // The bad file counts as absent and gets a marker; the ignored .nfo gets none.
  EXPECT_EQ(files(), (Files{"a.rar", "b.rar-crc-failed", "b.rar-missing", "c.rar", "d.rar-untested",
                            "e.rar-missing", "r.sfv"}));
}

TEST_F(SfvArrivalTest, ProgressAndAnnounceLinesFollowTheMarkers) {
  put("a.rar", "AAA");
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB") + sfv_line("c.rar", "CCC"));
  RunResult run = upload("r.sfv", {"-A0", "-G"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(console(run),
            "Creating MISSING files from r.sfv...\r\n"
            "Upload progress: [033%] [######--------------]\r\n");
  EXPECT_EQ(files(), (Files{"-[033%]-[######--------------]-", "a.rar", "b.rar-missing",
                            "c.rar-missing", "r.sfv"}));
  std::vector<std::string> lines = announce_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(24),
            " NEWDIR: \"" + release() + " - Expecting 3 files\" \"alice\" \"crew\" \"uploader\"");
}

TEST_F(SfvArrivalTest, ASecondArrivalKeepsMarkersAndClearsArrivedFiles) {
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  EXPECT_EQ(upload("r.sfv").status, 0);
  EXPECT_EQ(files(), (Files{"a.rar-missing", "b.rar-missing", "r.sfv"}));

  // An existing marker is left exactly as it is, whoever made it.
  put("b.rar-missing", "kept");
  put("A.RAR", "AAA");  // present under an equivalent name
  mkdir(in_release("c.rar").c_str(), 0755);
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB") + sfv_line("c.rar", "C"));
  EXPECT_EQ(upload("r.sfv").status, 0);
  // A directory bearing an entry's name does not count as the file.
  EXPECT_EQ(files(), (Files{"A.RAR", "b.rar-missing", "c.rar", "c.rar-missing", "r.sfv"}));
  EXPECT_EQ(read_file(in_release("b.rar-missing")), "kept");
}

TEST_F(SfvArrivalTest, CompleteOnArrivalAndUnusableSfvs) {
  put("a.rar", "AAA");
  put("r.sfv", sfv_line("a.rar", "AAA"));
  RunResult run = upload("r.sfv", {"-A1"}, {{"KUVO_COMPLETE", "done"}});
  EXPECT_EQ(run.status, 3);
  std::vector<std::string> lines = announce_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(" - Expecting 1 files\" \"alice\" \"crew\" \"uploader\""));
  EXPECT_EQ(lines[1].substr(24),
            " NEWDIR: \"" + release() + " done\" \"alice\" \"crew\" \"uploader\"");

  put("bad.sfv", "no-separator-at-all\n");
  run = upload("bad.sfv", {"-U"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(console(run),
            "Testing UNTESTED files against bad.sfv...\r\nError parsing SFV file bad.sfv.\r\n");
  run = upload("missing.sfv");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      console(run),
      "Creating MISSING files from missing.sfv...\r\nError parsing SFV file missing.sfv.\r\n");
}

TEST_F(SfvArrivalTest, EntriesNamingOtherDirectoriesAreIgnored) {
  mkdir((sandbox() / "other").c_str(), 0755);
  put("r.sfv",
      sfv_line("../other/x.rar", "X") + sfv_line("/tmp/y.rar", "Y") + sfv_line("a.rar", "A"));
  RunResult run = upload("r.sfv", {"-A0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(list_dir(sandbox() / "other").empty());
  EXPECT_EQ(files(), (Files{"a.rar-missing", "r.sfv"}));
  std::vector<std::string> lines = announce_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].find(" - Expecting 1 files\"") != std::string::npos) << lines[0];
}

TEST_F(SfvArrivalTest, AnUntestedFileThatCannotBeReadKeepsItsName) {
  // A regular file whose first read fails: its partial checksum, that of
  // nothing, would match the listed 00000000 if it were ever taken.
  if (!exists("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  ASSERT_EQ(symlink("/proc/self/mem", in_release("a.rar-untested").c_str()), 0);
  put("r.sfv", "a.rar 00000000\r\n");
  RunResult run = upload("r.sfv", {"-U"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(console(run),
            "Testing UNTESTED files against r.sfv...\r\n"
            "Testing a.rar...unable to read file, skipping.\r\n"
            "Creating MISSING files from r.sfv...\r\n");
  EXPECT_EQ(files(), (Files{"a.rar-missing", "a.rar-untested", "r.sfv"}));
}

TEST_F(SfvArrivalTest, AnSfvOfIgnoredEntriesOnlyIsNeverComplete) {
  // Nothing counts, so nothing has arrived: 0 %, not 100 %.
  put("r.sfv", sfv_line("info.nfo", "N") + sfv_line("notes.txt", "T"));
  RunResult run = upload("r.sfv", {"-G"}, {{"KUVO_COMPLETE", "done"}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(console(run),
            "Creating MISSING files from r.sfv...\r\n"
            "Upload progress: [000%] [--------------------]\r\n");
  EXPECT_EQ(files(), (Files{"-[000%]-[--------------------]-", "r.sfv"}));
}

TEST_F(SfvArrivalTest, ALinkPlantedUnderAMarkersNameIsNeverFollowed) {
  // Creating the marker through a dangling link would create a file outside the release.
  ASSERT_EQ(symlink("../planted", in_release("a.rar-missing").c_str()), 0);
  put("r.sfv", sfv_line("a.rar", "A"));
  upload("r.sfv");
  EXPECT_FALSE(exists(sandbox() / "planted"));
}

TEST_F(SfvArrivalTest, RenamesThatFailAreToldRightAfterTheVerdict) {
  // A directory standing under the target name makes each rename fail.
  put("a.rar-untested", "AAA");
  put("b.rar-untested", "not BBB");
  ASSERT_EQ(mkdir(in_release("a.rar").c_str(), 0755), 0);
  put("a.rar/inner", "x");
  ASSERT_EQ(mkdir(in_release("b.rar-crc-failed").c_str(), 0755), 0);
  put("b.rar-crc-failed/inner", "x");
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  RunResult run = upload("r.sfv", {"-U"});
  EXPECT_EQ(run.status, 0);
  const std::string out = console(run);
  for (const char* lines :
       {"Testing a.rar...CRC okay.\r\nUnable to rename a.rar-untested to a.rar: Is a "
        "directory.\r\n",
        "Testing b.rar...CRC failed, renaming to BAD.\r\nUnable to rename b.rar-untested to "
        "b.rar-crc-failed: Is a directory.\r\n"}) {
    EXPECT_NE(out.find(lines), std::string::npos) << out;
  }
  EXPECT_TRUE(exists(in_release("a.rar-untested")));
  EXPECT_TRUE(exists(in_release("b.rar-untested")));
}

}  // namespace
}  // namespace kuvo::testing
