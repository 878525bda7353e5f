// The command line of kuvo --check and --repair, the walk of -r, and the
// shapes of their output: names that could forge lines, and JSON for names
// that are not UTF-8.
#include "run/admin_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "release_fixture.h"
#include "run/json_report.h"

namespace kuvo::testing {
namespace {

TEST(AdminCommandTest, UsageErrorsExitWithTwoAndTouchNothing) {
  TempDir release;
  write_file(release / "r.sfv", "a.rar 12345678\n");
  const auto before = snapshot(release.path());
  const std::vector<std::vector<std::string>> refused = {
      {"--check", "-x"},          {"--check", "-j"},   {"--check", "-j", "0"},
      {"--check", "-j", "2x"},    {"--check", "-G"},   {"--check", "--dry-run"},
      {"--repair", "-I"},         {"--repair", "-A1"}, {"--repair", "-L", "log"},
      {"--repair", "--json=yes"}, {"--create"},         {"--create", ".", "-o"},
      {"--create", "-v", "."},
  };
  for (const std::vector<std::string>& args : refused) {
    RunResult run = run_kuvo({}, args, release.path());
    EXPECT_EQ(run.status, 2) << args.back();
    EXPECT_EQ(run.out, "") << args.back();
    EXPECT_TRUE(run.err.starts_with("kuvo: ")) << run.err;
  }
  EXPECT_EQ(snapshot(release.path()), before);
  // Recognised only first and spelled exactly, as --help is: otherwise a hook
  // run, which wants its variables.
  EXPECT_EQ(run_kuvo({}, {"--CHECK"}, release.path()).status, 255);
  EXPECT_EQ(run_kuvo({}, {"-G", "--check"}, release.path()).status, 255);
}

TEST(AdminCommandTest, RecursionFindsReleasesBelowAndFollowsNoLinks) {
  TempDir top;
  for (const char* dir : {"a", "a/CD1", "a/CD2", "b", "b/empty"}) mkdir((top / dir).c_str(), 0755);
  for (const char* dir : {"a/CD1", "a/CD2", "a"}) {
    write_file(top / dir + "/x.rar", "X");
    write_file(top / dir + "/r.sfv", ReleaseFixture::sfv_line("x.rar", "X"));
  }
  ASSERT_EQ(symlink("..", (top / "a/CD1/up").c_str()), 0);
  ASSERT_EQ(symlink("../a", (top / "b/a").c_str()), 0);

  RunResult run = run_kuvo({}, {"--check", "-rj2"}, top.path());
  EXPECT_EQ(run.status, 0);
  std::istringstream lines(run.out);
  std::vector<std::string> summaries;
  for (std::string line; std::getline(lines, line);)
    summaries.push_back(line.substr(0, line.find(':')));
  EXPECT_EQ(summaries, (std::vector<std::string>{"SUMMARY a", "SUMMARY a/CD1", "SUMMARY a/CD2"}));
  // A directory with nothing below is reported as having no SFV.
  RunResult none = run_kuvo({}, {"--check", "-r", "b/"}, top.path());
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "ERROR b: no SFV file\n");
  // A release that can be listed but not entered is an error, never passed over.
  if (geteuid() != 0) return;
  ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((top / "a/CD2").c_str(), 0644), 0);
  RunOptions as_nobody;
  as_nobody.cwd = top.path();
  as_nobody.run_as = 65534;
  run = run_kuvo({}, {"--check", "-r", "a"}, as_nobody);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("ERROR a/CD2: cannot enter the directory: Perm"), run.out.npos) << run.out;
}

TEST(AdminCommandTest, NamesCannotForgeLinesAndJsonKeepsTheirBytes) {
  ReleaseFixture release;
  const std::string latin1 = "caf\xe9.rar";
  const std::string forged = "x\nOK y\x1b[2J.rar";
  release.put(latin1, "L");
  release.put(forged + "-missing", "");
  release.put("r.sfv", ReleaseFixture::sfv_line(latin1, "L") +
                           ReleaseFixture::sfv_line("\xc3\xa9t\xc3\xa9.rar", "E"));

  RunResult text = run_kuvo({}, {"--check"}, release.release());
  EXPECT_EQ(text.out,
            "MISSING \xc3\xa9t\xc3\xa9.rar\n"
            "STALE x\\x0aOK y\\x1b[2J.rar-missing\n"
            "SUMMARY .: 2 entries, 1 ok, 0 bad, 1 missing, 0 unreadable, 0 waiting, 1 stale, "
            "0 unlisted; progress 50%\n");

  RunResult json = run_kuvo({}, {"--repair", "--json", "--dry-run"}, release.release());
  EXPECT_EQ(json.status, 1);
  ASSERT_TRUE(json.out.ends_with("}\n"));
  ASSERT_EQ(json.out.find('\n'), json.out.size() - 1) << "one line per release";
  const nlohmann::json report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["path"], ".");
  EXPECT_EQ(report["command"], "dry_run");
  EXPECT_EQ(report["status"], 1);
  EXPECT_EQ(report["sfv"], "r.sfv");
  const nlohmann::json& first = report["entries"][0];
  EXPECT_EQ(first["name"], "caf\xef\xbf\xbd.rar");  // the byte replaced by U+FFFD
  EXPECT_EQ(first["name_hex"], "636166e92e726172");
  EXPECT_EQ(first["state"], "ok");
  EXPECT_EQ(first["file"]["name_hex"], "636166e92e726172");
  const nlohmann::json& second = report["entries"][1];
  EXPECT_EQ(second["name"], "\xc3\xa9t\xc3\xa9.rar");
  EXPECT_FALSE(second.contains("name_hex")) << "valid UTF-8 needs no hex";
  EXPECT_EQ(second["state"], "missing");
  EXPECT_EQ(report["stale_markers"][0]["name"], forged + "-missing");
  EXPECT_EQ(report["summary"]["progress"], 50);
  ASSERT_EQ(report["plan"].size(), 2u);
  EXPECT_EQ(report["plan"][0]["action"], "create_marker");
  EXPECT_EQ(report["plan"][1]["action"], "remove_marker");
}

TEST(AdminCommandTest, Utf8IsCheckedStrictly) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"));
  for (const char* bad : {"\xe9", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace kuvo::testing
