// A file under test knows whether a name still denotes the bytes it read.
#include "verify/file_under_test.h"

#include <gtest/gtest.h>

#include <cstdio>

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

}  // namespace
}  // namespace kuvo::testing
