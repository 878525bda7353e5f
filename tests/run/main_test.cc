// The run as an upload server sees it: banner, setup errors, exit statuses and
// the log file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "release_fixture.h"
#include "run/banner.h"

namespace kuvo::testing {
namespace {

TEST(BannerTest, IsOneFixedLineOfTwentySixCharacters) {
  const std::string banner = unscramble_banner();
  EXPECT_EQ(banner.size(), 26u);
  EXPECT_EQ(banner.find_first_of("\r\n"), std::string::npos);
  // It names the release that --version names, as major.minor.
  const std::string version = KUVO_VERSION;
  const std::string major_minor = version.substr(0, version.find('.', version.find('.') + 1));
  EXPECT_EQ(banner.rfind("kuvo " + major_minor + ": ", 0), 0u) << banner;
}

TEST(MainTest, SetupErrorsEndTheRunWithStatus255) {
  const struct {
    const char* why;
    std::map<std::string, std::optional<std::string>> env;
    std::vector<std::string> args;
    const char* console;
  } rows[] = {
      {"nothing set: only KUVO_FILE is reported",
       {},
       {},
       "ENV-Error: environment variable KUVO_FILE is not set\r\n"},
      {"environment errors come before switch errors",
       {{"KUVO_FILE", "a"}},
       {"-I"},
       "ENV-Error: environment variable KUVO_DIR is not set\r\n"},
      {"-I without KUVO_BASEDIR",
       {{"KUVO_FILE", "a"}, {"KUVO_DIR", "."}},
       {"-I"},
       "CMDLINE-Error: use of switch -I requires the environment variable KUVO_BASEDIR to be "
       "set\r\n"},
      {"-L as the last argument",
       {{"KUVO_FILE", "a"}, {"KUVO_DIR", "."}},
       {"-L"},
       "CMDLINE-Error: use of switch -L requires a filename to be given\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    TempDir dir;
    RunResult run = run_kuvo(row.env, row.args, dir.path());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, banner_line() + row.console);
    EXPECT_TRUE(list_dir(dir.path()).empty());  // nothing touched
  }
}

TEST(MainTest, AFailedChangeOfDirectoryIsReportedAndTheRunGoesOn) {
  TempDir dir;
  RunResult run =
      run_kuvo({{"KUVO_FILE", "a.rar"}, {"KUVO_DIR", "/nonexistent/rel"}}, {}, dir.path());
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, banner_line() +
                         "CHDIR-Error: Unable to change into dir /nonexistent/rel.\r\n"
                         "Skipping a.rar, you need to upload an SFV file first.\r\n");

  // A link in its place is refused alike, and nothing changes where it leads.
  ReleaseFixture release;
  release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "A"));
  const std::string link = release.sandbox() / "link";
  ASSERT_EQ(symlink(release.release().c_str(), link.c_str()), 0);
  const auto before = snapshot(release.sandbox().path());
  for (const std::string& path : {link, link + "/"}) {
    run = run_kuvo({{"KUVO_FILE", "r.sfv"}, {"KUVO_DIR", path}}, {"-U", "-G"}, dir.path());
    EXPECT_TRUE(console(run).starts_with("CHDIR-Error: Unable to change into dir " + path + "."));
  }
  EXPECT_EQ(snapshot(release.sandbox().path()), before);
}

TEST(MainTest, ModeIsChosenByTheSfvNameTest) {
  const struct {
    const char* file;
    bool sfv_mode;
  } rows[] = {{"release.sfv", true}, {".SFV", true}, {"r.SfV", true},
              {"a.SFV.rar", false},  {"SFV", false}, {"sfv", false}};
  for (const auto& row : rows) {
    TempDir dir;
    RunResult run = run_kuvo({{"KUVO_FILE", row.file}, {"KUVO_DIR", dir.path()}}, {});
    const std::string sfv_lead = std::string("Creating MISSING files from ") + row.file;
    EXPECT_EQ(run.out.find(sfv_lead) != std::string::npos, row.sfv_mode) << row.file;
    EXPECT_EQ(run.status, row.sfv_mode ? 1 : 4) << row.file;
  }
}

TEST(MainTest, LogGetsEveryMessageWithItsOwnTimeStamp) {
  ReleaseFixture release;
  release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "A"));
  release.put("a.rar-untested", "A");
  const std::string log = release.sandbox() / "run.log";
  RunResult run = release.upload("r.sfv", {"-U", "-L", log});
  EXPECT_EQ(run.status, 3);
  // Console lines end in "\r\n"; the log's in a bare "\n", and a message
  // continued by the next one shares its line, each behind its own stamp.
  const std::string stamp = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4} - ";
  const std::regex expected("^" + stamp + "Testing UNTESTED files against r\\.sfv\\.\\.\\.\n" +
                            stamp + "Testing a\\.rar\\.\\.\\." + stamp + "CRC okay\\.\n" + stamp +
                            "Creating MISSING files from r\\.sfv\\.\\.\\.\n$");
  const std::string logged = read_file(log);
  EXPECT_TRUE(std::regex_match(logged, expected)) << logged;
  EXPECT_EQ(console(run),
            "Testing UNTESTED files against r.sfv...\r\nTesting a.rar...CRC okay.\r\n"
            "Creating MISSING files from r.sfv...\r\n");
}

TEST(MainTest, LogReceivesSwitchErrorsOnlyAfterMinusL) {
  TempDir dir;
  const std::map<std::string, std::optional<std::string>> env = {{"KUVO_FILE", "a"},
                                                                 {"KUVO_DIR", "."}};
  EXPECT_EQ(run_kuvo(env, {"-L", "run.log", "-I"}, dir.path()).status, 255);
  EXPECT_TRUE(read_file(dir / "run.log")
                  .ends_with(" - CMDLINE-Error: use of switch -I requires the environment variable "
                             "KUVO_BASEDIR to be "
                             "set\n"));
  TempDir other;
  EXPECT_EQ(run_kuvo(env, {"-I", "-L", "run.log"}, other.path()).status, 255);
  EXPECT_FALSE(exists(other / "run.log"));

  // A log that cannot be opened changes nothing on the console.
  RunResult run = run_kuvo(env, {"-L", "/nonexistent/dir/run.log"}, other.path());
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, banner_line() + "Skipping a, you need to upload an SFV file first.\r\n");
  // '-L -U' logs to a file named '-U' and leaves untested mode off.
  run = run_kuvo(env, {"-L", "-U"}, other.path());
  EXPECT_EQ(run.status, 4);
  EXPECT_TRUE(exists(other / "-U"));
}

}  // namespace
}  // namespace kuvo::testing

namespace kuvo::testing {
namespace {

TEST(MainTest, AFifoInPlaceOfTheLogOrAnnounceFileNeverStallsTheRun) {
  ReleaseFixture release;
  release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "A"));
  release.put("a.rar", "A");
  const std::string log = release.sandbox() / "run.log";
  ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(release.announce().c_str(), 0644), 0);
  RunOptions options;
  options.timeout_seconds = 20;
  RunResult run = release.upload("a.rar", {"-A2", "-L", log}, {}, options);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(console(run),
            "Checking a.rar against SFV file r.sfv...CRC okay.\r\n"
            "Upload progress: [100%] [--all-files-CRC-ok--]\r\n");
}

TEST(MainTest, EverythingARunCreatesIsOpenToAllWhateverTheServersUmask) {
  // Every FTP user must be able to clear what another user's run left.
  ReleaseFixture release;
  release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "A"));
  const std::string log = release.sandbox() / "run.log";
  RunOptions options;
  options.umask = 077;
  RunResult run = release.upload("r.sfv", {"-G", "-I", "-A0", "-L", log},
                                 {{"KUVO_BASEDIR", release.sandbox().path()}}, options);
  EXPECT_EQ(run.status, 0);
  const std::string status = "-[000%]-[--------------------]-";
  const struct {
    std::string path;
    unsigned mode;
  } rows[] = {{release.in_release("a.rar-missing"), 0666},
              {release.in_release(status), 0777},
              {release.sandbox() / ("rel" + status), 0666},
              {release.announce(), 0666},
              {log, 0666}};
  for (const auto& row : rows) {
    struct stat st {};
    ASSERT_EQ(lstat(row.path.c_str(), &st), 0) << row.path;
    EXPECT_EQ(st.st_mode & 07777, row.mode) << row.path;
  }
}

TEST(MainTest, AConsoleNobodyReadsNeverCutsARunShort) {
  // A server may stop reading before kuvo writes; the changes must still all be made.
  ReleaseFixture release;
  release.put("a.rar", "A");
  release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "A") +
                           ReleaseFixture::sfv_line("b.rar", "B") +
                           ReleaseFixture::sfv_line("c.rar", "C"));
  RunOptions unread;
  unread.stdout_unread = true;
  EXPECT_EQ(release.upload("r.sfv", {"-G"}, {}, unread).status, 0);
  EXPECT_EQ(release.files(), (std::vector<std::string>{"-[033%]-[######--------------]-", "a.rar",
                                                       "b.rar-missing", "c.rar-missing", "r.sfv"}));
  release.put("b.rar", "B");
  EXPECT_EQ(release.upload("b.rar", {"-G"}, {}, unread).status, 2);
  EXPECT_EQ(release.files(), (std::vector<std::string>{"-[066%]-[#############-------]-", "a.rar",
                                                       "b.rar", "c.rar-missing", "r.sfv"}));
}

}  // namespace
}  // namespace kuvo::testing
