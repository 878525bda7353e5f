// A release is complete only when its files are there: the markers alone
// cannot be trusted, since runs race and changes fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;

class ProgressTest : public ::testing::Test, public ReleaseFixture {
 protected:
  // A run that must not claim completion: no status 3, no completion directory
  // and no announce line that tells of one.
  void expect_not_complete(const RunResult& run, int status) {
    EXPECT_EQ(run.status, status) << console(run);
    EXPECT_FALSE(exists(in_release("done")));
    for (const std::string& line : announce_lines()) {
      EXPECT_EQ(line.find(" done\""), std::string::npos) << line;
    }
  }
  const std::map<std::string, std::optional<std::string>> complete_env{
      {"KUVO_COMPLETE", "done"}, {"KUVO_ANNOUNCEFILE", announce()}};
};

TEST_F(ProgressTest, AnUploadCheckedBeforeTheSfvsRunLaidOutMarkersIsNotTheRelease) {
  // The SFV stands in the directory, but its own run (slow, or killed) has not
  // laid out a single marker yet.
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB") + sfv_line("c.rar", "CCC"));
  put("a.rar", "AAA");
  put("b.rar-untested", "BBB");  // present only under its untested name
  RunResult run = upload("a.rar", {"-U", "-G", "-A1"}, complete_env);
  expect_not_complete(run, 2);
  EXPECT_TRUE(console(run).ends_with("Upload progress: [033%] [######--------------]\r\n"));
}

TEST_F(ProgressTest, MarkersThatCannotBeCreatedAreToldAndNeverCountAsFiles) {
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  put("a.rar", "AAA");
  const std::string suffix(300, 'm');
  RunResult run = upload(
      "r.sfv", {"-G", "-A1"},
      {{"KUVO_MISSING", suffix}, {"KUVO_COMPLETE", "done"}, {"KUVO_ANNOUNCEFILE", announce()}});
  EXPECT_EQ(console(run),
            "Creating MISSING files from r.sfv...\r\n"
            "Unable to create marker b.rar" +
                suffix +
                ": File name too long.\r\n"
                "Upload progress: [050%] [##########----------]\r\n");
  EXPECT_EQ(run.status, 0);
  // Every run after it still sees the file absent.
  run = upload(
      "a.rar", {"-G", "-A1"},
      {{"KUVO_MISSING", suffix}, {"KUVO_COMPLETE", "done"}, {"KUVO_ANNOUNCEFILE", announce()}});
  expect_not_complete(run, 2);
}

TEST_F(ProgressTest, AReleaseDirectoryTheServerMayNotWriteToIsNeverComplete) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as nobody";
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  put("a.rar", "AAA");
  ASSERT_EQ(chmod(sandbox().path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(release().c_str(), 0755), 0);
  RunOptions as_nobody;
  as_nobody.run_as = 65534;
  RunResult run = upload("r.sfv", {}, {}, as_nobody);
  EXPECT_EQ(console(run),
            "Creating MISSING files from r.sfv...\r\n"
            "Unable to create marker b.rar-missing: Permission denied.\r\n");
  EXPECT_EQ(run.status, 0);
}

TEST_F(ProgressTest, ANameTooLongForTheUntestedSuffixCountsOnlyWhenItsCrcMatches) {
  const std::string name = std::string(246, 'n') + ".rar";  // 250 bytes
  put(name, "LONG");
  RunResult run = upload(name, {"-U"});
  EXPECT_EQ(console(run), "No SFV file located, renaming " + name +
                              " to UNTESTED.\r\nUnable to rename " + name + " to " + name +
                              "-untested: File name too long.\r\n");
  EXPECT_EQ(run.status, 4);

  // It never got its test, so the SFV's arrival must not take it on trust.
  put("r.sfv", sfv_line(name, "not LONG"));
  run = upload("r.sfv", {"-U", "-G", "-A1"}, complete_env);
  expect_not_complete(run, 0);
  put("r.sfv", sfv_line(name, "LONG"));
  run = upload("r.sfv", {"-U", "-G", "-A1"}, complete_env);
  EXPECT_EQ(run.status, 3);
  EXPECT_TRUE(exists(in_release("done")));
}

}  // namespace
}  // namespace kuvo::testing
