#include "fileset/directory_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace kuvo {
namespace {

// Every check runs with the kinds read from the directory entries and with a
// status read for every entry: both must give the same listing.
KindSource source = KindSource::directory_entry;

// The names of one kind, followed by "*" for a listing that was read (the
// closing entry that lookups see), or nothing for one that was not.
std::vector<std::string> scan(bool regular_only, const std::string& path) {
  const NameList list = scan_directory(path, source);
  std::vector<std::string> names;
  if (!list.readable()) return names;
  const EntryKind wanted = regular_only ? EntryKind::regular : EntryKind::other;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) == wanted) names.emplace_back(list.name(i));
  }
  names.push_back("*");
  return names;
}

class DirectoryScannerTest : public ::testing::TestWithParam<KindSource> {
 protected:
  void SetUp() override { source = GetParam(); }
};

// What the scan must give: the names of `selected` in the reverse of the order
// readdir yields them, then "*".
std::vector<std::string> expected_listing(const std::string& dir,
                                          const std::set<std::string>& selected) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  EXPECT_NE(d, nullptr);
  if (d == nullptr) return names;
  while (const dirent* entry = readdir(d)) {
    if (selected.count(entry->d_name) != 0) names.insert(names.begin(), entry->d_name);
  }
  closedir(d);
  names.push_back("*");
  return names;
}

void make_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
}

TEST_P(DirectoryScannerTest, KindsAndOrder) {
  testing::TempDir dir;
  std::set<std::string> regular = {"a.rar", ".message", "link-to-file", "*", "My File\t\xe9.r01"};
  for (int i = 0; i < 40; ++i) regular.insert("part" + std::to_string(i) + ".rar");
  for (const std::string& name : regular) {
    if (name != "link-to-file") testing::write_file(dir / name, "data");
  }
  ASSERT_EQ(symlink("a.rar", (dir / "link-to-file").c_str()), 0);

  const std::set<std::string> other = {"sub", "pipe", "link-to-dir", "socket"};
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  testing::write_file(dir / "sub/inner.rar", "");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("sub", (dir / "link-to-dir").c_str()), 0);
  make_socket(dir / "socket");

  // Entries whose status cannot be read are in neither listing.
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop", (dir / "loop").c_str()), 0);

  const std::vector<std::string> files = expected_listing(dir.path(), regular);
  const std::vector<std::string> others = expected_listing(dir.path(), other);
  EXPECT_EQ(scan(true, dir.path()), files) << "regular files, hidden and linked ones too";
  EXPECT_EQ(scan(false, dir.path()), others) << "everything that is not a regular file";
  EXPECT_EQ(std::count(files.begin(), files.end(), "*"), 2)
      << "a file named '*' and the extra entry";

  EXPECT_EQ(scan(true, dir.path() + "/"), files) << "trailing slash";
  EXPECT_EQ(scan(false, dir.path() + "//"), others) << "trailing slashes";

  // The release directory is scanned as ".", the working directory.
  int cwd = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(cwd, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const std::vector<std::string> dot = scan(true, ".");
  const std::vector<std::string> dot_slash = scan(false, "./");
  EXPECT_EQ(fchdir(cwd), 0);
  close(cwd);
  EXPECT_EQ(dot, files) << "path '.'";
  EXPECT_EQ(dot_slash, others) << "path './'";
}

TEST_P(DirectoryScannerTest, EmptyAndMissingDirectories) {
  testing::TempDir dir;
  EXPECT_EQ(scan(true, dir.path()), std::vector<std::string>{"*"}) << "empty, files";
  EXPECT_EQ(scan(false, dir.path()), std::vector<std::string>{"*"}) << "empty, others";
  EXPECT_TRUE(scan(true, dir / "missing").empty()) << "missing path";
  EXPECT_TRUE(scan(false, dir / "missing/").empty()) << "missing path with slash";
  testing::write_file(dir / "file", "");
  EXPECT_TRUE(scan(true, dir / "file").empty()) << "not a directory";
  ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
  EXPECT_TRUE(scan(false, dir / "link").empty()) << "link to a file";
}

// Permission checks are what an unprivileged server account meets, so as root
// they run in a child that has become nobody.
constexpr uid_t kNobody = 65534;
constexpr int kCannotDropPrivileges = 77;

TEST_P(DirectoryScannerTest, DirectoriesWithoutPermissions) {
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // let nobody reach what is inside
  const std::string no_search = dir / "no-search";
  const std::string no_read = dir / "no-read";
  for (const std::string& path : {no_search, no_read}) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    testing::write_file(path + "/a.rar", "data");
    ASSERT_EQ(mkdir((path + "/sub").c_str(), 0755), 0);
  }
  ASSERT_EQ(chmod(no_search.c_str(), 0444), 0);
  ASSERT_EQ(chmod(no_read.c_str(), 0333), 0);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(kCannotDropPrivileges);
    }
    const std::vector<std::string> star = {"*"};
    int failures = 0;
    // Readable but not searchable: the names are there, their status is not.
    if (scan(true, no_search) != star) failures |= 1;
    if (scan(false, no_search) != star) failures |= 2;
    // Not readable: the directory does not open.
    if (!scan(true, no_read).empty()) failures |= 4;
    if (!scan(false, no_read + "/").empty()) failures |= 8;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotDropPrivileges) GTEST_SKIP() << "cannot become nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "failed checks (bits): 1, 2 unsearchable directory; 4, 8 unreadable directory";
}

INSTANTIATE_TEST_SUITE_P(KindFrom, DirectoryScannerTest,
                         ::testing::Values(KindSource::directory_entry, KindSource::status));

}  // namespace
}  // namespace kuvo
