// Many uploads of one release finishing at the same moment: the upload server
// starts one kuvo per upload, and nothing is locked. Every run must still give
// a verdict, the last one must see the release complete, no marker may be left
// behind, and the announce file must hold only whole lines. And no run may
// report a release complete that is not.
//
// KUVO_CONCURRENCY_ROUNDS sets the number of rounds (default 3).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// Starts one kuvo per upload with `switches` and the variables `extra_env`,
// all held at one gate and let go together, and returns their exit statuses
// (-1 for a run that crashed or had to be killed).
std::vector<int> run_all_at_once(const ReleaseFixture& release,
                                 const std::vector<std::string>& uploads,
                                 const std::vector<std::string>& switches = {"-A2", "-G"},
                                 const std::vector<std::string>& extra_env = {}) {
  std::vector<std::vector<std::string>> envs;
  for (const std::string& upload : uploads) {
    envs.push_back({"KUVO_FILE=" + upload, "KUVO_DIR=" + release.release(),
                    "KUVO_ANNOUNCEFILE=" + release.announce(), "USER=alice", "GROUP=crew",
                    "UNFO=uploader", "TZ=UTC"});
    envs.back().insert(envs.back().end(), extra_env.begin(), extra_env.end());
  }
  std::vector<std::string> args = {KUVO_BINARY};
  args.insert(args.end(), switches.begin(), switches.end());
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

// Contents of `size` bytes that differ from file to file.
std::string filler(const std::string& name, std::size_t size) {
  std::string contents;
  while (contents.size() < size) contents += "contents of " + name + " ";
  contents.resize(size);
  return contents;
}

// The SFV arrives in untested mode while files uploaded before it wait under
// their untested names, and the runs of further uploads start at the same
// moment. Until the SFV's run has re-tested the waiting files and laid out the
// markers, no marker tells what is absent; no run may take that for a complete
// release. One waiting file is corrupt, so while they race nothing is complete:
// every run that exits 3 or names the release complete is wrong. In odd rounds
// every other listed file is there and re-uploading the corrupt one completes
// the release; in even rounds a listed file never arrives.
TEST(ConcurrentRunsTest, SfvArrivalRacesUploadsWhileUntestedFilesWait) {
  constexpr int kWaiting = 8;
  constexpr int kRacing = 16;
  constexpr std::size_t kWaitingSize = 256 * 1024;
  const std::string done = "[DONE]";
  const std::vector<std::string> switches = {"-U", "-A2", "-G"};
  const int total_rounds = rounds();
  int false_completions = 0;
  int rounds_with_false_completion = 0;
  for (int round = 0; round < total_rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool ends_complete = round % 2 == 1;
    ReleaseFixture release;
    std::string sfv;
    std::vector<std::string> waiting;
    for (int i = 0; i < kWaiting; ++i) {
      waiting.push_back("Early_" + std::to_string(i) + ".rar");
      const std::string contents = filler(waiting.back(), kWaitingSize);
      sfv += ReleaseFixture::sfv_line(waiting.back(), contents);
      release.put(waiting.back() + "-untested", i == 0 ? "corrupt" + contents : contents);
    }
    std::vector<std::string> runs = {"release.sfv"};
    for (int i = 0; i < kRacing; ++i) {
      runs.push_back(upload_name(i));
      sfv += ReleaseFixture::sfv_line(runs.back(), "contents of " + runs.back());
      release.put(runs.back(), "contents of " + runs.back());
    }
    if (!ends_complete) sfv += ReleaseFixture::sfv_line("Never.rar", "never uploaded");
    release.put("release.sfv", sfv);

    const std::vector<int> statuses =
        run_all_at_once(release, runs, switches, {"KUVO_COMPLETE=" + done});
    ASSERT_EQ(statuses.size(), runs.size());
    EXPECT_EQ(statuses[0], 0) << "the SFV's run";
    const int complete = static_cast<int>(std::count(statuses.begin(), statuses.end(), 3));
    for (std::size_t i = 1; i < statuses.size(); ++i) {
      EXPECT_EQ(statuses[i], 2) << runs[i] << " while " << waiting[0] << " is corrupt";
    }
    false_completions += complete;
    if (complete > 0) ++rounds_with_false_completion;
    EXPECT_FALSE(exists(release.in_release(done)));
    for (const std::string& line : release.announce_lines()) {
      EXPECT_EQ(line.find(done), std::string::npos) << line;
      EXPECT_EQ(line.find("[100%]"), std::string::npos) << line;
    }
    // The verdicts and markers do not depend on the order the runs took.
    std::vector<std::string> expected = {waiting[0] + "-crc-failed", waiting[0] + "-missing"};
    if (!ends_complete) expected.push_back("Never.rar-missing");
    for (const std::string& name : release.files()) {
      if (name.ends_with("-missing") || name.ends_with("-untested") || name.ends_with("-failed")) {
        EXPECT_NE(std::find(expected.begin(), expected.end(), name), expected.end()) << name;
      }
    }
    for (const std::string& name : expected) EXPECT_TRUE(exists(release.in_release(name))) << name;
    for (int i = 1; i < kWaiting; ++i) EXPECT_TRUE(exists(release.in_release(waiting[i])));

    // The corrupt file uploaded again: the last file needed completes the
    // release, and only then is it announced complete.
    release.put(waiting[0], filler(waiting[0], kWaitingSize));
    const RunResult last = release.upload(waiting[0], switches, {{"KUVO_COMPLETE", done}});
    EXPECT_EQ(last.status, ends_complete ? 3 : 2);
    EXPECT_EQ(is_directory(release.in_release(done)), ends_complete);
    const std::vector<std::string> lines = release.announce_lines();
    ASSERT_FALSE(lines.empty());
    const std::string tail = release.release() + " " + done + "\"";
    EXPECT_EQ(lines.back().find(tail) != std::string::npos, ends_complete);
  }
  std::printf("%d rounds of %d racing runs: %d runs in %d rounds reported the release complete\n",
              total_rounds, kRacing + 1, false_completions, rounds_with_false_completion);
}

}  // namespace
}  // namespace kuvo::testing
