// A batch of uploads judged in one go must end exactly as one hook run per
// upload, in the same order, on the same directory: statuses, console text,
// directory, base directory and announce lines.
#include "verify/upload_batch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "release_fixture.h"
#include "run/environment.h"

namespace kuvo::testing {
namespace {

// Runs `body` in `dir` with the environment holding `vars`; both restored after.
template <class Body>
void run_in(const std::string& dir, const std::map<std::string, std::string>& vars, Body body) {
  std::map<std::string, std::optional<std::string>> saved;
  for (const auto& [name, value] : vars) {
    const char* old = std::getenv(name.c_str());
    saved.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name.c_str(), value.c_str(), 1);
  }
  const std::string start = std::filesystem::current_path();
  if (chdir(dir.c_str()) == 0) body();
  EXPECT_EQ(chdir(start.c_str()), 0);
  for (const auto& [name, old] : saved)
    old ? setenv(name.c_str(), old->c_str(), 1) : unsetenv(name.c_str());
}

// Everything a run may change: the release and base directories (names, and
// contents of files) and the announce lines without their time stamps.
std::string outcome(const ReleaseFixture& f) {
  std::string text;
  for (const std::string& dir : {f.release(), f.base()}) {
    for (const std::string& name : list_dir(dir)) {
      const std::string path = dir + "/" + name;
      text += name + (is_directory(path) ? "/" : "=" + read_file(path)) + "\n";
    }
  }
  for (const std::string& line : f.announce_lines()) text += line.substr(24) + "\n";
  return text;
}

struct Round {
  std::vector<std::pair<std::string, std::string>> files;  // the directory before
  std::vector<std::string> uploads, switches;
  std::map<std::string, std::string> env;
};

// A release of up to four files, some absent, corrupt, unlisted, waiting
// untested or bearing their marker, its SFV uploaded anywhere in the order or
// not at all, under random switches.
Round random_round(std::mt19937& rng) {
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  Round round;
  std::string sfv;
  for (int i = 0, count = 1 + static_cast<int>(rng() % 4); i < count; ++i) {
    const std::string name = std::string(1, static_cast<char>('a' + i)) + ".rar";
    const std::string good = "data " + name + std::to_string(rng() % 1000);
    sfv += ReleaseFixture::sfv_line(chance(85) ? name : "other" + name, good);
    if (chance(40)) round.files.emplace_back(name + "-missing", "");
    if (chance(20)) round.files.emplace_back(name + "-untested", chance(50) ? good : "bad");
    if (chance(25)) continue;
    round.files.emplace_back(name, chance(70) ? good : "corrupt");
    round.uploads.push_back(name);
  }
  round.files.emplace_back("u.bin", "unlisted");
  round.uploads.push_back("u.bin");
  if (chance(90)) round.files.emplace_back("r.sfv", sfv);
  if (round.files.back().first == "r.sfv" && chance(70)) round.uploads.push_back("r.sfv");
  std::shuffle(round.uploads.begin(), round.uploads.end(), rng);
  for (const char* s : {"-U", "-G", "-I", "-A1", "-A2"}) {
    if (chance(40)) round.switches.push_back(s);
  }
  if (chance(50)) round.env["KUVO_ON_BAD"] = "rename";
  if (chance(50)) round.env["KUVO_COMPLETE"] = "[done]";
  return round;
}

void lay_out(const ReleaseFixture& f, const Round& round) {
  for (const std::string& path : {f.release(), f.base(), f.announce()}) {
    std::filesystem::remove_all(path);
  }
  mkdir(f.release().c_str(), 0755);
  mkdir(f.base().c_str(), 0755);
  for (const auto& [name, contents] : round.files) f.put(name, contents);
}

TEST(UploadBatchTest, BatchEndsAsOneHookRunPerUpload) {
  ReleaseFixture f;
  std::mt19937 rng(20261208);
  for (int i = 0; i < 60; ++i) {
    const Round round = random_round(rng);
    SCOPED_TRACE("round " + std::to_string(i));
    lay_out(f, round);
    std::vector<std::pair<int, std::string>> hook, batch;
    for (const std::string& upload : round.uploads) {
      const RunResult run = f.upload(upload, round.switches, {round.env.begin(), round.env.end()});
      hook.emplace_back(run.status, console(run));
    }
    const std::string hook_outcome = outcome(f);

    lay_out(f, round);
    std::map<std::string, std::string> env = round.env;
    env.insert({{"KUVO_FILE", "-"},
                {"KUVO_DIR", f.release()},
                {"USER", "alice"},
                {"GROUP", "crew"},
                {"UNFO", "uploader"},
                {"KUVO_ANNOUNCEFILE", f.announce()},
                {"KUVO_BASEDIR", f.base()},
                {"TZ", "UTC"}});
    run_in(f.release(), env, [&] {
      Settings settings;
      std::vector<const char*> argv = {"kuvo"};
      for (const std::string& s : round.switches) argv.push_back(s.c_str());
      ASSERT_TRUE(load_environment(settings));
      ASSERT_TRUE(parse_switches(settings, static_cast<int>(argv.size()), argv.data()));
      judge_uploads(settings, round.uploads, [&](const UploadVerdict& verdict) {
        batch.emplace_back(exit_code(verdict.status), verdict.console);
      });
    });
    EXPECT_EQ(batch, hook);
    EXPECT_EQ(outcome(f), hook_outcome);
  }
}

TEST(UploadBatchTest, PendingUploadsAreThoseNoRunHasJudged) {
  const std::string sfv = ReleaseFixture::sfv_line("a.rar", "a") +
                          ReleaseFixture::sfv_line("b.rar", "b") +
                          ReleaseFixture::sfv_line("c.rar", "c");
  struct Row {
    const char* why;
    std::vector<std::string> files;  // oldest first; "name/" is a directory
    bool status_dir;
    std::vector<std::string> pending;
  };
  const Row rows[] = {
      {"arrival handled: the files still bearing a marker, oldest first",
       {"r.sfv", "c.rar", "b.rar", "a.rar", "b.rar-missing", "c.rar-missing"},
       false,
       {"c.rar", "b.rar"}},
      {"an absent file without its marker: the arrival was never handled",
       {"r.sfv", "b.rar", "a.rar"},
       false,
       {"r.sfv", "b.rar", "a.rar"}},
      {"every file there, no marker, no -G: nothing tells it from a handled release",
       {"r.sfv", "a.rar", "b.rar", "c.rar"},
       false,
       {}},
      {"-G and no status directory: the arrival was never handled",
       {"r.sfv", "a.rar", "b.rar", "c.rar"},
       true,
       {"r.sfv", "a.rar", "b.rar", "c.rar"}},
      {"-G and the status directory the markers call for",
       {"r.sfv", "a.rar", "b.rar", "c.rar", "b.rar-missing", "c.rar-missing",
        "-[033%]-[######--------------]-/"},
       true,
       {"b.rar", "c.rar"}},
      {"no SFV", {"a.rar", "a.rar-missing"}, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ReleaseFixture f;
    long when = 1000000000;
    for (const std::string& name : row.files) {
      if (name.ends_with("/")) mkdir(f.in_release(name).c_str(), 0755);
      if (name.ends_with("/")) continue;
      f.put(name, name == "r.sfv" ? sfv : name.substr(0, 1));
      const timespec times[2] = {{++when, 0}, {when, 0}};
      utimensat(AT_FDCWD, f.in_release(name).c_str(), times, 0);
    }
    Settings settings;
    settings.status_dir_switch = row.status_dir;
    run_in(f.release(), {}, [&] { EXPECT_EQ(uploads_pending(settings), row.pending); });
  }
}

}  // namespace
}  // namespace kuvo::testing
