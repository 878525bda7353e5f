// kuvo --check through the real executable: releases in every state are
// reported entry by entry with the hook runs' name rules, and nothing in them
// changes, down to modes and modification times.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

std::string hex(const std::string& contents) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(ReleaseFixture::crc_of(contents)));
  return text;
}

// A tree "root" of releases, one per state, below a fresh sandbox.
class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override { mkdir(root().c_str(), 0755); }

  std::string root() const { return sandbox_ / "root"; }

  // Makes the release `name` with `files` (a name and its contents each).
  void release(const std::string& name,
               const std::vector<std::pair<std::string, std::string>>& files) const {
    const std::string dir = root() + "/" + name;
    mkdir(dir.c_str(), 0755);
    for (const auto& [file, contents] : files) write_file(dir + "/" + file, contents);
  }

  RunResult check(const std::vector<std::string>& args) const {
    std::vector<std::string> full{"--check"};
    full.insert(full.end(), args.begin(), args.end());
    return run_kuvo({{"KUVO_IGNORE", "*.nfo"}}, full, sandbox_.path());  // the SFV counts too
  }

  TempDir sandbox_;
};

TEST_F(CheckTest, ReportsEveryStateAndChangesNothing) {
  using L = ReleaseFixture;
  release("clean", {{"a.rar", "AAA"},
                    {"b.rar", "BBB"},
                    {"r.sfv", L::sfv_line("a.rar", "AAA") + L::sfv_line("b.rar", "BBB")}});
  // Every file a hook run would check against an entry is told of; a listed file named like a
  // marker is no marker, one that passes for it in a hook run's count is stale; "*" and the SFV
  // itself are there as hook runs count them; the longest name allowed is like any other.
  const std::string longest = std::string(251, 'l') + ".rar";
  release("copies", {{longest, "L"},
                     {"a.rar", "AAA"},
                     {"A.RAR", "corrupt"},
                     {"a.rar_missing", ""},
                     {"x.rar", "XXX"},
                     {"x.rar-crc-failed", "corrupt"},
                     {"x.rar_MISSING", ""},
                     {"r.sfv", L::sfv_line(longest, "L") + L::sfv_line("a.rar", "AAA") +
                                   L::sfv_line("a.rar_missing", "") + L::sfv_line("x.rar", "XXX") +
                                   "* 00000000\r\nr.sfv 00000000\r\n"}});
  release("corrupt", {{"a.rar", "corrupt"},
                      {"b.rar", "BBB"},
                      {"r.sfv", L::sfv_line("a.rar", "AAA") + L::sfv_line("b.rar", "BBB")}});
  release("missing", {{"a.rar", "AAA"},
                      {"b.rar-missing", ""},
                      {"r.sfv", L::sfv_line("a.rar", "AAA") + L::sfv_line("b.rar", "BBB") +
                                    L::sfv_line("c.rar", "CCC")}});
  // Entries that leave the release, are ignored or stand on an overlong line
  // do not count; names match as hook runs match them.
  release("names", {{"a_file.rar", "F"},
                    {"Song.OK.mp3", "S"},
                    {"r.sfv", L::sfv_line("../x.rar", "X") + L::sfv_line("info.nfo", "N") +
                                  L::sfv_line(std::string(5000, 'y'), "Y") +
                                  L::sfv_line("A File.rar", "F") + L::sfv_line("song.mp3", "S")}});
  release("nosfv", {{"a.rar", "AAA"}});
  release("stale", {{"a.rar", "AAA"},
                    {"a.rar-missing", ""},
                    {"x.rar-missing", ""},
                    {"notes.txt", "hello"},
                    {"c1\xc2\x9b.txt", "C1 as UTF-8"},
                    {"raw\x9b.txt", "C1 as a byte"},
                    {"euro\xe2\x82\xac.txt", "no control character"},
                    {"r.sfv", L::sfv_line("a.rar", "AAA")}});
  mkdir((root() + "/stale/-[000%]-[--------------------]-").c_str(), 0777);
  release("unparsable", {{"r.sfv", "; a comment, and a line without separator:\nnoseparator\n"}});
  release("unreadable", {{"r.sfv", "b.rar 00000000\r\n"}});
  const bool has_mem = exists("/proc/self/mem");
  if (has_mem) symlink("/proc/self/mem", (root() + "/unreadable/b.rar").c_str());
  release("waiting", {{"a.rar-untested", "AAA"},
                      {"b.rar-crc-failed", "corrupt"},
                      {"c.rar-crc-failed", "CCC"},
                      {"r.sfv", L::sfv_line("a.rar", "AAA") + L::sfv_line("b.rar", "BBB") +
                                    L::sfv_line("c.rar", "CCC")}});
  chmod((root() + "/corrupt/a.rar").c_str(), 0600);

  const auto before = snapshot(sandbox_.path());
  RunResult run = check({"-r", "-v", "-j", "3", "root"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "");
  std::string expected =
      "OK root/clean/a.rar\n"
      "OK root/clean/b.rar\n"
      "SUMMARY root/clean: 2 entries, 2 ok, 0 bad, 0 missing, 0 unreadable, 0 waiting, 0 stale, "
      "0 unlisted; progress 100%\n"
      "OK root/copies/" +
      longest + "\nOK root/copies/a.rar\nBAD root/copies/a.rar as A.RAR (expected " + hex("AAA") +
      ", got " + hex("corrupt") +
      ")\n"
      "OK root/copies/a.rar_missing\n"
      "OK root/copies/x.rar\n"
      "BAD root/copies/x.rar as x.rar-crc-failed (expected " +
      hex("XXX") + ", got " + hex("corrupt") +
      ")\n"
      "COUNTED root/copies/* (there for every hook run)\n"
      "COUNTED root/copies/r.sfv (the SFV itself; never checked, renamed or marked)\n"
      "STALE root/copies/x.rar_MISSING\n"
      "SUMMARY root/copies: 6 entries, 4 ok, 0 bad, 0 missing, 0 unreadable, 0 waiting, "
      "2 counted, 1 stale, 0 unlisted; progress 100%\n"
      "BAD root/corrupt/a.rar (expected " +
      hex("AAA") + ", got " + hex("corrupt") +
      ")\n"
      "OK root/corrupt/b.rar\n"
      "SUMMARY root/corrupt: 2 entries, 1 ok, 1 bad, 0 missing, 0 unreadable, 0 waiting, 0 stale, "
      "0 unlisted; progress 50%\n"
      "OK root/missing/a.rar\n"
      "MISSING root/missing/b.rar\n"
      "MISSING root/missing/c.rar\n"
      "SUMMARY root/missing: 3 entries, 1 ok, 0 bad, 2 missing, 0 unreadable, 0 waiting, 0 stale, "
      "0 unlisted; progress 33%\n"
      "OK root/names/A File.rar as a_file.rar\n"
      "OK root/names/song.mp3 as Song.OK.mp3\n"
      "SUMMARY root/names: 2 entries, 2 ok, 0 bad, 0 missing, 0 unreadable, 0 waiting, 0 stale, "
      "0 unlisted; progress 100%\n"
      "OK root/stale/a.rar\n"
      "STALE root/stale/a.rar-missing\n"
      "STALE root/stale/x.rar-missing\n"
      "STALE root/stale/-[000%]-[--------------------]- (status directory; progress 100%)\n"
      "UNLISTED root/stale/c1\\xc2\\x9b.txt\n"
      "UNLISTED root/stale/euro\xe2\x82\xac.txt\n"
      "UNLISTED root/stale/notes.txt\n"
      "UNLISTED root/stale/raw\\x9b.txt\n"
      "SUMMARY root/stale: 1 entries, 1 ok, 0 bad, 0 missing, 0 unreadable, 0 waiting, 2 stale, "
      "4 unlisted; progress 100%\n"
      "ERROR root/unparsable: SFV file r.sfv is unparsable\n";
  if (has_mem) {
    expected +=
        "UNREADABLE root/unreadable/b.rar (read failed)\n"
        "SUMMARY root/unreadable: 1 entries, 0 ok, 0 bad, 0 missing, 1 unreadable, 0 waiting, "
        "0 stale, 0 unlisted; progress 0%\n";
  } else {
    expected +=
        "MISSING root/unreadable/b.rar\n"
        "SUMMARY root/unreadable: 1 entries, 0 ok, 0 bad, 1 missing, 0 unreadable, "
        "0 waiting, 0 stale, 0 unlisted; progress 0%\n";
  }
  expected +=
      "WAITING root/waiting/a.rar as a.rar-untested (CRC ok)\n"
      "BAD root/waiting/b.rar as b.rar-crc-failed (expected " +
      hex("BBB") + ", got " + hex("corrupt") +
      ")\n"
      "WAITING root/waiting/c.rar as c.rar-crc-failed (CRC ok)\n"
      "SUMMARY root/waiting: 3 entries, 0 ok, 1 bad, 0 missing, 0 unreadable, 2 waiting, 0 stale, "
      "0 unlisted; progress 0%\n";
  EXPECT_EQ(run.out, expected);
  // One thread reads the files in another order, to the same report.
  EXPECT_EQ(check({"-r", "-v", "-j", "1", "root"}).out, expected);

  RunResult lone = check({"root/nosfv", "root/clean"});
  EXPECT_EQ(lone.status, 2);
  EXPECT_TRUE(lone.out.starts_with("ERROR root/nosfv: no SFV file\nSUMMARY root/clean: "))
      << lone.out;
  EXPECT_EQ(check({"root"}).out,
            "ERROR root: no SFV file (directories below hold SFV files: use -r)\n");
  EXPECT_EQ(check({"--json", "-r", "root"}).status, 2);
  EXPECT_EQ(snapshot(sandbox_.path()), before);
  // An SFV that may not be read is told so, not taken for unparsable.
  release("../locked", {{"r.sfv", L::sfv_line("a.rar", "AAA")}});
  chmod((root() + "/../locked/r.sfv").c_str(), 0);
  chmod(sandbox_.path().c_str(), 0755);
  RunOptions options;
  options.cwd = sandbox_.path();
  if (geteuid() == 0) options.run_as = 65534;  // root would read it all the same
  EXPECT_EQ(run_kuvo({}, {"--check", "locked"}, options).out,
            "ERROR locked: SFV file r.sfv: cannot read: Permission denied\n");
}

TEST_F(CheckTest, ExitStatusFollowsTheWorstRelease) {
  using L = ReleaseFixture;
  release("done", {{"a.rar", "AAA"}, {"r.sfv", L::sfv_line("a.rar", "AAA")}});
  release("short", {{"r.sfv", L::sfv_line("a.rar", "AAA")}});
  // Nothing counts: never complete, as a hook run sees it.
  release("ignored", {{"r.sfv", L::sfv_line("info.nfo", "N")}});
  EXPECT_EQ(check({"root/done"}).status, 0);
  EXPECT_EQ(check({"root/done", "root/short"}).status, 1);
  EXPECT_EQ(check({"root/ignored"}).status, 1);
  RunResult here = run_kuvo({}, {"--check"}, root() + "/done");
  EXPECT_EQ(here.status, 0);
  EXPECT_EQ(here.out,
            "SUMMARY .: 1 entries, 1 ok, 0 bad, 0 missing, 0 unreadable, 0 waiting, "
            "0 stale, 0 unlisted; progress 100%\n");
}

}  // namespace
}  // namespace kuvo::testing
