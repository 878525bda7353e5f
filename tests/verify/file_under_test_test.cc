// A file under test knows whether a name still denotes the bytes it read, and
// a file that someone holds open for writing gets no verdict.
#include "verify/file_under_test.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "release_fixture.h"
#include "test_util.h"

namespace kuvo::testing {
namespace {

TEST(FileUnderTestTest, IsNamedFollowsTheOpenFileNotItsOldName) {
  TempDir dir;
  write_file(dir / "a.rar-untested", "tested bytes");
  FileUnderTest file(dir / "a.rar-untested");
  ASSERT_TRUE(file.is_open());
  EXPECT_TRUE(file.is_named(dir / "a.rar-untested"));
  ASSERT_EQ(std::rename((dir / "a.rar-untested").c_str(), (dir / "a.rar").c_str()), 0);
  EXPECT_TRUE(file.is_named(dir / "a.rar"));
  // Other bytes put under the name meanwhile are another file.
  write_file(dir / "swapped", "other bytes");
  ASSERT_EQ(std::rename((dir / "swapped").c_str(), (dir / "a.rar").c_str()), 0);
  EXPECT_FALSE(file.is_named(dir / "a.rar"));
  EXPECT_FALSE(file.is_named(dir / "gone"));
}

TEST(FileUnderTestTest, AFileHeldOpenForWritingIsLeftAsItIs) {
  const std::string still = "is still being written; it will be checked when its upload ends.\r\n";
  struct Row {
    const char* why;
    bool sfv;          // r.sfv lists a.rar
    std::string held;  // held open for writing during the run; its CRC would fail
    std::string upload;
    std::vector<std::string> args;
    std::string console;
    int status;
    std::vector<std::string> files_after;
  };
  const Row rows[] = {
      {"a mismatch is not renamed", true, "a.rar", "a.rar", {}, "File a.rar " + still, 7,
       {"a.rar", "a.rar-missing", "r.sfv"}},
      {"an upload the SFV does not list is not set aside", true, "x.rar", "x.rar", {},
       "File x.rar " + still, 7, {"a.rar-missing", "r.sfv", "x.rar"}},
      {"no SFV: neither set aside nor its marker removed", false, "a.rar", "a.rar", {"-U"},
       "File a.rar " + still, 7, {"a.rar", "a.rar-missing"}},
      {"the SFV's arrival does not re-test it", true, "a.rar-untested", "r.sfv", {"-U"},
       "Testing UNTESTED files against r.sfv...\r\nTesting a.rar...File a.rar " + still +
           "Creating MISSING files from r.sfv...\r\n",
       0, {"a.rar-missing", "a.rar-untested", "r.sfv"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ReleaseFixture release;
    release.put("a.rar-missing", "");
    if (row.sfv) release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "AAA"));
    release.put(row.held, "not AAA");
    const int writer = open(release.in_release(row.held).c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    RunResult run = release.upload(row.upload, row.args, {{"KUVO_ON_BAD", "rename"}});
    close(writer);
    EXPECT_EQ(console(run), row.console);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(release.files(), row.files_after);
  }
}

}  // namespace
}  // namespace kuvo::testing
