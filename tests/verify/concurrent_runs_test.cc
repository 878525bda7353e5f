// Many uploads of one release finishing at the same moment: the upload server
// starts one kuvo per upload, and nothing is locked. Every run must still give
// a verdict, the last one must see the release complete, no marker may be left
// behind, and the announce file must hold only whole lines.
//
// KUVO_CONCURRENCY_ROUNDS sets the number of rounds (default 3).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <thread>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

constexpr int kRuns = 64;

int rounds() {
  const char* value = std::getenv("KUVO_CONCURRENCY_ROUNDS");
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 3;
}

std::string upload_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "Part_%02d.rar", i);
  return name;
}

// Starts one kuvo per upload, all held at one gate and let go together, and
// returns their exit statuses (-1 for a run that crashed or had to be killed).
std::vector<int> run_all_at_once(const ReleaseFixture& release,
                                 const std::vector<std::string>& uploads) {
  std::vector<std::vector<std::string>> envs;
  for (const std::string& upload : uploads) {
    envs.push_back({"KUVO_FILE=" + upload, "KUVO_DIR=" + release.release(),
                    "KUVO_ANNOUNCEFILE=" + release.announce(), "USER=alice", "GROUP=crew",
                    "UNFO=uploader", "TZ=UTC"});
  }
  std::vector<std::string> args = {KUVO_BINARY, "-A2", "-G"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int gate[2];
  if (pipe(gate) != 0) return {};
  std::vector<pid_t> children;
  for (auto& env : envs) {
    std::vector<char*> envp;
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char byte;
      while (read(gate[0], &byte, 1) > 0) {
      }
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);  // every child reads end of file now and goes

  std::vector<int> statuses(children.size(), -2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  std::size_t left = children.size();
  while (left > 0) {
    for (std::size_t i = 0; i < children.size(); ++i) {
      int wstatus = 0;
      if (statuses[i] != -2 || waitpid(children[i], &wstatus, WNOHANG) != children[i]) continue;
      statuses[i] = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
      --left;
    }
    if (left > 0 && std::chrono::steady_clock::now() > deadline) {
      for (std::size_t i = 0; i < children.size(); ++i) {
        if (statuses[i] == -2) kill(children[i], SIGKILL);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return statuses;
}

// A status line as the program that reads the announce file expects it.
bool is_whole_status_line(const std::string& line, const std::string& release) {
  static const std::regex time_stamp(
      "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
  static const std::regex status_text("-\\[[0-9]{3}%\\]-\\[([#-]{20}|--all-files-CRC-ok--)\\]-");
  const std::string head = " NEWDIR: \"" + release + " ";
  const std::string tail = "\" \"alice\" \"crew\" \"uploader\"";
  return line.size() == 24 + head.size() + 31 + tail.size() &&
         std::regex_match(line.substr(0, 24), time_stamp) &&
         line.compare(24, head.size(), head) == 0 &&
         std::regex_match(line.substr(24 + head.size(), 31), status_text) && line.ends_with(tail);
}

TEST(ConcurrentRunsTest, SixtyFourUploadsOfOneReleaseAtOnce) {
  const int total_rounds = rounds();
  int completing_runs = 0;
  for (int round = 0; round < total_rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ReleaseFixture release;
    std::string sfv;
    std::vector<std::string> uploads;
    for (int i = 0; i < kRuns; ++i) {
      uploads.push_back(upload_name(i));
      sfv += ReleaseFixture::sfv_line(uploads.back(), "contents of " + uploads.back());
    }
    release.put("release.sfv", sfv);
    ASSERT_EQ(release.upload("release.sfv").status, 0);
    ASSERT_EQ(release.files().size(), static_cast<std::size_t>(kRuns + 1));  // markers laid out
    for (const std::string& upload : uploads) release.put(upload, "contents of " + upload);

    const std::vector<int> statuses = run_all_at_once(release, uploads);
    ASSERT_EQ(statuses.size(), uploads.size());
    int complete = 0;
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      EXPECT_TRUE(statuses[i] == 2 || statuses[i] == 3) << uploads[i] << ": " << statuses[i];
      if (statuses[i] == 3) ++complete;
    }
    EXPECT_GE(complete, 1) << "no run saw the release complete";
    completing_runs += complete;

    for (const std::string& name : release.files()) {
      EXPECT_FALSE(name.ends_with("-missing")) << name << " was left behind";
    }
    for (const std::string& upload : uploads) {
      EXPECT_EQ(read_file(release.in_release(upload)), "contents of " + upload);
    }
    const std::string announced = read_file(release.announce());
    EXPECT_TRUE(announced.ends_with("\n"));
    const std::vector<std::string> lines = release.announce_lines();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kRuns));
    for (const std::string& line : lines) {
      EXPECT_TRUE(is_whole_status_line(line, release.release())) << line;
    }
  }
  RecordProperty("rounds", total_rounds);
  RecordProperty("runs_seeing_completion", completing_runs);
  std::printf("%d rounds of %d runs: %d runs saw the release complete\n", total_rounds, kRuns,
              completing_runs);
}

}  // namespace
}  // namespace kuvo::testing
