#include "status/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;

TEST(StatusTextTest, BarAndTextFollowTheProgress) {
  const struct {
    int progress;
    const char* text;
  } rows[] = {
      {0, "-[000%]-[--------------------]-"},
      {4, "-[004%]-[--------------------]-"},  // below 5 %: no "#"
      {5, "-[005%]-[#-------------------]-"},
      {50, "-[050%]-[##########----------]-"},
      {99, "-[099%]-[###################-]-"},  // never twenty "#" while incomplete
      {100, "-[100%]-[--all-files-CRC-ok--]-"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(status_text(row.progress), row.text) << row.progress;
    EXPECT_EQ(status_text(row.progress).size(), 31u);
  }
}

TEST(StatusTextTest, DashedReleasePathComparesTextsOnly) {
  const struct {
    const char* base;
    const char* release;
    std::optional<std::string> dashed;
  } rows[] = {
      {"/site/", "/site/incoming/Some.Release", "incoming-Some.Release"},
      {"/site/", "/site/incoming/rel/", "incoming-rel-"},
      {"/site/", "/site", std::nullopt},      // shorter than the base
      {"/site/", "/site/", std::nullopt},     // not longer than the base
      {"/site/", "/Site/rel", std::nullopt},  // case counts
      {"/site/", "/other/rel", std::nullopt},
      {"/site/", "/site/../etc", "..-etc"},  // no path resolution, and no "/" survives
  };
  for (const auto& row : rows) {
    EXPECT_EQ(dashed_release_path(row.base, row.release), row.dashed) << row.release;
  }
}

// Lays out a release of four files, `present` of which have arrived.
void lay_out(const ReleaseFixture& release, int present) {
  std::string sfv;
  for (int i = 0; i < 4; ++i) {
    std::string name = "f" + std::to_string(i) + ".rar";
    sfv += ReleaseFixture::sfv_line(name, name);
    if (i < present) {
      release.put(name, name);
    } else {
      release.put(name + "-missing", "");
    }
  }
  release.put("r.sfv", sfv);
}

class PublishTest : public ::testing::Test, public ReleaseFixture {
 protected:
  void lay_out(int present) { testing::lay_out(*this, present); }
};

TEST_F(PublishTest, StatusDirectoryIsReplacedAndOnlyEmptyOnesGo) {
  lay_out(2);
  put("f2.rar", "f2.rar");
  mkdir(in_release("-[ABC45678901234567890123456789").c_str(), 0755);   // 31, "-[": removed
  mkdir(in_release("-[too-short").c_str(), 0755);                       // stays
  mkdir(in_release("-[keep45678901234567890123456789").c_str(), 0755);  // 32: stays
  mkdir(in_release("-[full5678901234567890123456789").c_str(), 0755);   // not empty: stays
  put("-[full5678901234567890123456789/x", "");
  put("-[file5678901234567890123456789", "");  // a regular file is never touched
  mkdir(in_release("done").c_str(), 0755);     // the completion name, while incomplete

  RunResult run = upload("f2.rar", {"-g"}, {{"KUVO_COMPLETE", "done"}});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(files(),
            (Files{"-[075%]-[###############-----]-", "-[file5678901234567890123456789",
                   "-[full5678901234567890123456789", "-[keep45678901234567890123456789",
                   "-[too-short", "f0.rar", "f1.rar", "f2.rar", "f3.rar-missing", "r.sfv"}));
}

TEST_F(PublishTest, StatusFilesLiveInTheBaseDirectoryUntilCompletion) {
  lay_out(3);
  ASSERT_EQ(mkdir((base() + "/in").c_str(), 0755), 0);
  // A release below the base directory: <base>/in/rel.
  const std::string release_dir = base() + "/in/rel";
  ASSERT_EQ(rename(release().c_str(), release_dir.c_str()), 0);
  write_file(base() + "/in-rel-[000%]-[--------------------]-", "");
  write_file(base() + "/in-rel-[xyz" + std::string(26, 'z'), "");      // any other 31 characters
  write_file(base() + "/in-rel-short", "");                            // wrong length: stays
  write_file(base() + "/in-relX-[000%]-[--------------------]-", "");  // another release

  RunResult run = upload("f2.rar", {"-I"}, {{"KUVO_DIR", release_dir}});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(list_dir(base()), (Files{"in", "in-rel-[075%]-[###############-----]-", "in-rel-short",
                                     "in-relX-[000%]-[--------------------]-"}));
  write_file(release_dir + "/f3.rar", "f3.rar");
  run = upload("f3.rar", {"-I"}, {{"KUVO_DIR", release_dir}});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(list_dir(base()),
            (Files{"in", "in-rel-short", "in-relX-[000%]-[--------------------]-"}));
}

TEST_F(PublishTest, OutsideTheBaseDirectoryNoStatusFileAndNoAnnounceLine) {
  lay_out(3);
  RunResult run = upload("f2.rar", {"-A2", "-I", "-G"}, {{"KUVO_BASEDIR", "/nonexistent/base"}});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(console(run),
            "Checking f2.rar against SFV file r.sfv...CRC okay.\r\n"
            "Upload progress: [075%] [###############-----]\r\n");
  EXPECT_TRUE(exists(in_release("-[075%]-[###############-----]-")));  // -G still ran
  EXPECT_FALSE(exists(announce()));
}

TEST_F(PublishTest, AnnounceModesInSingleFileRuns) {
  const struct {
    const char* mode;
    int present_before;
    std::optional<std::string> complete;
    std::optional<std::string> line;  // event text after the release directory
  } rows[] = {
      {"-A0", 3, std::nullopt, std::nullopt},  // never in single-file runs
      {"-A1", 2, std::nullopt, std::nullopt},  // incomplete: nothing
      {"-A1", 3, std::nullopt, " -[100%]-[--all-files-CRC-ok--]-"},
      {"-A1", 3, "Complete", " Complete"},
      {"-A2", 2, "Complete", " -[075%]-[###############-----]-"},  // not complete yet
      {"-A2", 3, "Complete", " Complete"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.mode) + " " + std::to_string(row.present_before));
    ReleaseFixture release;
    testing::lay_out(release, row.present_before);
    const std::string name = "f" + std::to_string(row.present_before) + ".rar";
    release.put(name, name);
    RunResult run = release.upload(name, {row.mode}, {{"KUVO_COMPLETE", row.complete}});
    EXPECT_EQ(run.status, row.present_before == 3 ? 3 : 2);
    std::vector<std::string> lines = release.announce_lines();
    if (!row.line) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(24),
              " NEWDIR: \"" + release.release() + *row.line + "\" \"alice\" \"crew\" \"uploader\"");
  }
}

TEST_F(PublishTest, ALinkPlantedUnderTheStatusFileNameIsNeverFollowed) {
  // A dangling link is no regular file, so the clean-up leaves it and only the
  // creation meets it: following it would create a file anywhere.
  lay_out(2);
  put("f2.rar", "f2.rar");
  const std::string status_file = sandbox() / "rel-[075%]-[###############-----]-";
  ASSERT_EQ(symlink((sandbox() / "planted").c_str(), status_file.c_str()), 0);
  EXPECT_EQ(upload("f2.rar", {"-I"}, {{"KUVO_BASEDIR", sandbox().path()}}).status, 2);
  EXPECT_FALSE(exists(sandbox() / "planted"));
}

TEST_F(PublishTest, UserFieldsAndTimeStamp) {
  lay_out(1);
  put("f1.rar", "f1.rar");
  RunResult run =
      upload("f1.rar", {"-A2"}, {{"USER", std::nullopt}, {"GROUP", ""}, {"UNFO", "say \"hi\""}});
  EXPECT_EQ(run.status, 2);
  std::vector<std::string> lines = announce_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with("\" \"?\" \"\" \"say \"hi\"\"")) << lines[0];
  // A ctime stamp: "Www Mmm dd hh:mm:ss yyyy".
  EXPECT_TRUE(std::regex_search(
      lines[0], std::regex("^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                           "[0-9]{4} NEWDIR: ")))
      << lines[0];
}

}  // namespace
}  // namespace kuvo::testing
