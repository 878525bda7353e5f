// The watcher run as a site runs it: the built kuvo, on a real directory tree.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

// A kuvo --watch in the background, its standard output read as it comes.
class Watching {
 public:
  // `before` comes ahead of kuvo's own words: a program that starts it.
  explicit Watching(std::vector<std::string> args, std::vector<std::string> before = {}) {
    args.insert(args.begin(), {KUVO_BINARY, "--watch", "--settle", "0.2"});
    args.insert(args.begin(), before.begin(), before.end());
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipe_fds[1], STDOUT_FILENO);
      dup2(pipe_fds[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      char* envp[] = {nullptr};
      execve(argv[0], argv.data(), envp);
      _exit(127);
    }
    close(pipe_fds[1]);
    out_ = pipe_fds[0];
  }
  ~Watching() {
    if (pid_ > 0) stop();
    if (out_ >= 0) close(out_);
  }

  // The lines printed until `count` complete lines have come, or until
  // `seconds` passed (a guard against hangs, not a speed check).
  std::vector<std::string> lines(std::size_t count, double seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::count(text_.begin(), text_.end(), '\n') < static_cast<long>(count)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd fd{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      text_.append(buffer, static_cast<std::size_t>(got));
    }
    std::vector<std::string> taken;
    for (std::size_t at; taken.size() < count && (at = text_.find('\n')) != std::string::npos;) {
      taken.push_back(text_.substr(0, at));
      text_.erase(0, at + 1);
    }
    return taken;
  }

  // SIGTERM; the exit status, -1 when it did not exit normally.
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string text_;
};

TEST(Watcher, JudgesEachUploadOnceAndStaysIdleAfterwards) {
  ReleaseFixture fixture;
  const std::string rel = fixture.release();
  Watching watcher({fixture.sandbox().path()});
  ASSERT_EQ(watcher.lines(1), std::vector<std::string>{"kuvo: watching 3 directories"});
  fixture.put("rel.sfv", ReleaseFixture::sfv_line("a.rar", "good") +
                             ReleaseFixture::sfv_line("b.rar", "good too"));
  EXPECT_EQ(watcher.lines(1), std::vector<std::string>{rel + "/rel.sfv: Creating MISSING files from rel.sfv..."});
  fixture.put("a.rar", "good");
  fixture.put("b.rar", "corrupt");
  fixture.put(".b.rar.Q8x2Za", "partial");  // rsync's temporary name, never judged
  EXPECT_EQ(watcher.lines(3),
            (std::vector<std::string>{
                rel + "/a.rar: Checking a.rar against SFV file rel.sfv...CRC okay.",
                rel + "/b.rar: Checking b.rar against SFV file rel.sfv...CRC failed.",
                rel + "/b.rar: CRC mismatch: b.rar was renamed to b.rar-crc-failed."}));
  // The markers, the rename and the SFV's re-reading set off nothing more.
  EXPECT_EQ(watcher.lines(1, 1.5), std::vector<std::string>{});
  EXPECT_EQ(watcher.stop(), 0);
  EXPECT_EQ(fixture.files(), (std::vector<std::string>{".b.rar.Q8x2Za", "a.rar",
                                                       "b.rar-crc-failed", "b.rar-missing",
                                                       "rel.sfv"}));
}

// Uploads that completed unwatched are judged at start; a release moved
// within the area is judged where it went, and the link left in its place is
// never followed into the directory it names.
TEST(Watcher, CatchesUpAndFollowsMovesButNeverLinks) {
  ReleaseFixture fixture;
  const std::string sfv =
      ReleaseFixture::sfv_line("a.rar", "good") + ReleaseFixture::sfv_line("b.rar", "good too");
  fixture.put("rel.sfv", sfv);
  fixture.put("a.rar-missing", "");
  fixture.put("b.rar-missing", "");
  fixture.put("a.rar", "good");  // uploaded while no watcher ran
  const TempDir elsewhere;  // outside the watched area
  const std::string target = elsewhere.path();
  write_file(target + "/rel.sfv", sfv);
  write_file(target + "/b.rar-missing", "");
  const auto before = snapshot(target);

  Watching watcher({"--json", fixture.sandbox().path()});
  EXPECT_EQ(watcher.lines(2),
            (std::vector<std::string>{
                "kuvo: watching 3 directories",
                R"({"release":")" + fixture.release() +
                    R"(","file":"a.rar","status":2,"verdict":"ok","lines":["Checking a.rar )"
                    R"(against SFV file rel.sfv...CRC okay."]})"}));
  fixture.put("b.rar", "corrupt");
  const std::string moved = fixture.sandbox() / "rel.old";
  ASSERT_EQ(rename(fixture.release().c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), fixture.release().c_str()), 0);
  EXPECT_EQ(watcher.lines(1),
            std::vector<std::string>{
                R"({"release":")" + moved +
                R"(","file":"b.rar","status":6,"verdict":"bad","lines":["Checking b.rar against SFV )"
                R"(file rel.sfv...CRC failed.","CRC mismatch: b.rar was renamed to b.rar-crc-failed."]})"});
  EXPECT_EQ(watcher.lines(1, 1.5), std::vector<std::string>{});
  EXPECT_EQ(watcher.stop(), 0);
  EXPECT_EQ(snapshot(target), before);
}

// With the kernel's watches used up (three, in a user namespace of its own),
// one line names the setting to raise, and the directories watched work.
TEST(Watcher, SaysOnceWhichSettingToRaiseWhenWatchesRunOut) {
  if (std::system("unshare -U -r true 2>/dev/null") != 0) GTEST_SKIP() << "no user namespaces";
  TempDir area;
  for (const char* name : {"r1", "r2", "r3", "r4"}) mkdir((area / name).c_str(), 0755);
  Watching watcher({area.path()}, {"/usr/bin/unshare", "-U", "-r", "/bin/sh", "-c",
                                   "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$@\"",
                                   "sh"});
  const std::vector<std::string> lines = watcher.lines(2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("kuvo: cannot watch " + area.path() + "/r")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" and maybe more: no watches left; raise "
                                 "fs.inotify.max_user_watches (sysctl), then send SIGHUP"));
  EXPECT_EQ(lines[1], "kuvo: watching 3 directories");
  EXPECT_EQ(watcher.stop(), 0);
}

}  // namespace
}  // namespace kuvo::testing
