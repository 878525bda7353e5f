// Appending log and announce lines when the disk fills up.
#include "base/emit.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "test_util.h"

namespace kuvo::testing {
namespace {

// Lets writes past `limit` bytes fail, as on a full disk, while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(AppendLineTest, ALineCutShortIsTakenBackAndNeverJoinedByTheNext) {
  TempDir dir;
  const std::string path = dir / "announce.log";
  write_file(path, "first\n");
  {
    FileSizeLimit full(10);  // room for four more bytes only
    EXPECT_FALSE(append_line_to_file(path, "second line\n"));
  }
  EXPECT_EQ(read_file(path), "first\n");
  EXPECT_TRUE(append_line_to_file(path, "third\n"));
  EXPECT_EQ(read_file(path), "first\nthird\n");
}

}  // namespace
}  // namespace kuvo::testing
