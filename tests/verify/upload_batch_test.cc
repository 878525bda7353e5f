// A batch judged in one go ends exactly as one hook run per upload in order.
#include "verify/upload_batch.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <random>
#include <sstream>

#include "release_fixture.h"
#include "run/environment.h"

namespace kuvo::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// Runs `body` in `dir` with the variables `vars` ("NAME=value"), unset after.
template <class Body>
void run_in(const std::string& dir, const std::vector<std::string>& vars, Body body) {
  for (const std::string& var : vars) putenv(const_cast<char*>(var.c_str()));
  const std::string start = fs::current_path();
  if (chdir(dir.c_str()) == 0) body();
  EXPECT_EQ(chdir(start.c_str()), 0);
  for (const std::string& var : vars) unsetenv(var.substr(0, var.find('=')).c_str());
}

// `text` split at blanks.
std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// USER and GROUP for the upload `path`: its owner's and group's names, or numbers.
std::map<std::string, std::optional<std::string>> owner_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  const passwd* user = getpwuid(st.st_uid);
  const group* group = getgrgid(st.st_gid);
  return {{"USER", user ? user->pw_name : std::to_string(st.st_uid)},
          {"GROUP", group ? group->gr_name : std::to_string(st.st_gid)}};
}

// Names and contents of the release and base directories, and announce lines.
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
  std::vector<std::string> uploads, switches;
  std::map<std::string, std::optional<std::string>> env;
};

// Lays out a release of up to four files, some absent, corrupt, unlisted, waiting untested,
// marked or owned by no account, and returns the uploads in any order, the SFV's among them.
Round random_round(const ReleaseFixture& f, unsigned seed) {
  for (const std::string& path : {f.release(), f.base(), f.announce()}) fs::remove_all(path);
  for (const std::string& dir : {f.release(), f.base()}) mkdir(dir.c_str(), 0755);
  std::mt19937 rng(seed);
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  Round round{{"u.bin"}, {}, {}};
  f.put("u.bin", "unlisted");
  std::string sfv;
  for (int i = 0, count = 1 + static_cast<int>(rng() % 4); i < count; ++i) {
    const std::string name = std::string(1, static_cast<char>('a' + i)) + ".rar";
    const std::string good = "data " + name + std::to_string(rng() % 1000);
    sfv += ReleaseFixture::sfv_line(chance(85) ? name : "other" + name, good);
    if (chance(40)) f.put(name + "-missing", "");
    if (chance(20)) f.put(name + "-untested", chance(50) ? good : "bad");
    if (chance(25)) continue;
    f.put(name, chance(70) ? good : "corrupt");
    if (geteuid() == 0 && chance(30)) chown(f.in_release(name).c_str(), 54321, 54321);
    round.uploads.push_back(name);
  }
  if (chance(90)) f.put("r.sfv", sfv);
  if (exists(f.in_release("r.sfv")) && chance(70)) round.uploads.push_back("r.sfv");
  std::shuffle(round.uploads.begin(), round.uploads.end(), rng);
  for (const char* s : {"-U", "-G", "-I", "-A1", "-A2"}) {
    if (chance(40)) round.switches.push_back(s);
  }
  if (chance(50)) round.env["KUVO_ON_BAD"] = "rename";
  if (chance(50)) round.env["KUVO_COMPLETE"] = "[done]";
  return round;
}

TEST(UploadBatchTest, BatchEndsAsOneHookRunPerUpload) {
  ReleaseFixture f;
  for (unsigned seed = 1; seed <= 60; ++seed) {
    const Round round = random_round(f, seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::vector<std::pair<int, std::string>> hook, batch;
    for (const std::string& upload : round.uploads) {
      std::map<std::string, std::optional<std::string>> env = owner_of(f.in_release(upload));
      env.insert(round.env.begin(), round.env.end());
      const RunResult run = f.upload(upload, round.switches, env);
      hook.emplace_back(run.status, console(run));
    }
    const std::string hook_outcome = outcome(f);
    random_round(f, seed);  // the same release again, for the batch
    std::vector<std::string> env = words("KUVO_FILE=- USER=alice GROUP=crew UNFO=uploader TZ=UTC");
    env.insert(env.end(), {"KUVO_DIR=" + f.release(), "KUVO_ANNOUNCEFILE=" + f.announce(),
                           "KUVO_BASEDIR=" + f.base()});
    for (const auto& [name, value] : round.env) env.push_back(name + "=" + *value);
    run_in(f.release(), env, [&] {
      Settings settings;
      std::vector<const char*> argv = {"kuvo"};
      for (const std::string& s : round.switches) argv.push_back(s.c_str());
      ASSERT_TRUE(load_environment(settings));
      ASSERT_TRUE(parse_switches(settings, static_cast<int>(argv.size()), argv.data()));
      settings.uploader_is_owner = true;
      judge_uploads(settings, round.uploads, [&](const UploadVerdict& verdict) {
        batch.emplace_back(exit_code(verdict.status), verdict.console);
      });
    });
    EXPECT_EQ(batch, hook);
    EXPECT_EQ(outcome(f), hook_outcome);
  }
}

TEST(UploadBatchTest, PendingUploadsAreThoseNoRunHasJudged) {
  std::string sfv;
  for (const char* name : {"a", "b", "c"}) sfv += ReleaseFixture::sfv_line(name + ".rar"s, name);
  // Why; the directory, oldest first ("name/" a directory, "-G" the switch); what is pending.
  const char* rows[][3] = {
      {"arrival handled: files still bearing their marker, oldest first",
       "r.sfv c.rar b.rar a.rar b.rar-missing c.rar-missing", "c.rar b.rar"},
      {"an absent file without its marker: the arrival was never handled", "r.sfv b.rar a.rar",
       "r.sfv b.rar a.rar"},
      {"all there, no marker, no -G: as a handled release", "r.sfv a.rar b.rar c.rar", ""},
      {"-G and no status directory: the arrival was never handled", "-G r.sfv a.rar b.rar c.rar",
       "r.sfv a.rar b.rar c.rar"},
      {"-G and the status directory the markers call for",
       "-G r.sfv a.rar b.rar c.rar b.rar-missing c.rar-missing -[033%]-[######--------------]-/",
       "b.rar c.rar"},
  };
  for (const auto& [why, files, pending] : rows) {
    SCOPED_TRACE(why);
    ReleaseFixture f;
    Settings settings;
    long when = 1000000000;
    for (const std::string& name : words(files)) {
      settings.status_dir_switch = settings.status_dir_switch || name == "-G";
      if (name.ends_with("/")) mkdir(f.in_release(name).c_str(), 0755);
      if (name.ends_with("/") || name == "-G") continue;
      f.put(name, name == "r.sfv" ? sfv : name.substr(0, 1));
      const timespec times[2] = {{++when, 0}, {when, 0}};
      utimensat(AT_FDCWD, f.in_release(name).c_str(), times, 0);
    }
    run_in(f.release(), {}, [&] { EXPECT_EQ(uploads_pending(settings), words(pending)); });
  }
}

}  // namespace
}  // namespace kuvo::testing
