// kuvo --repair through the real executable: releases left in every state by
// random sequences of hook runs and hands must end as a clean replay of their
// uploads leaves them; --dry-run changes nothing and plans what --repair does;
// nothing that is not an empty marker is ever replaced or removed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;
using Env = std::map<std::string, std::optional<std::string>>;

const char* const kSuffixes[] = {"", "-untested", "-crc-failed"};

// The lines of a --repair or --dry-run that state its steps.
std::string plan_of(const std::string& out) {
  std::istringstream lines(out);
  std::string plan;
  for (std::string line; std::getline(lines, line);) {
    for (const char* step :
         {"RENAME ", "EXCHANGE ", "CREATE ", "REMOVE ", "CLASH ", "FAILED ", "CHANGED ", "NOTE "}) {
      if (line.starts_with(step)) plan += line + "\n";
    }
  }
  return plan;
}

// The ignore list lets the SFV count, so that an SFV listing itself is a state.
const Env kEnv = {{"KUVO_IGNORE", "*.nfo"}};

RunResult admin(const ReleaseFixture& release, std::vector<std::string> args) {
  args.push_back(release.release());
  return run_kuvo(kEnv, args);
}

// The release directory, each regular file with its contents and each other
// entry with its kind: what a repair and a replay are compared by.
std::map<std::string, std::string> tree(const ReleaseFixture& release) {
  std::map<std::string, std::string> result;
  for (const std::string& name : release.files()) {
    const std::string path = release.in_release(name);
    result[name] = is_directory(path) ? "<dir>" : read_file(path);
  }
  return result;
}

// One round: a release of a few files, driven through a random sequence of
// hook runs and hand-made changes, then repaired.
class Round {
 public:
  explicit Round(std::uint32_t seed) : random_(seed) {
    const int files = 2 + pick(3);
    for (int i = 0; i < files; ++i) {
      names_.push_back("f" + std::to_string(i) + ".rar");
      // A listed file named like another's marker is no marker.
      if (i == 1 && pick(3) == 0) names_.back() = names_[0] + "-missing";
      good_.push_back("good " + std::to_string(random_()) + std::string(pick(40), 'g'));
      bad_.push_back(good_.back() + "!");
    }
    for (int i = 0; i < files; ++i) sfv_ += ReleaseFixture::sfv_line(names_[i], good_[i]);
    sfv_ += ReleaseFixture::sfv_line("info.nfo", "never uploaded, never counted");
    // Entries every hook run counts as there: "*", and the SFV itself.
    if (pick(2)) sfv_ += "* 00000000\r\n";
    if (pick(2)) sfv_ += "r.sfv 00000000\r\n";
    // Last, unlisted: a spelling a hook run checks against f0.rar's entry.
    names_.push_back("F0.RAR");
    good_.push_back(good_[0]);
    bad_.push_back(bad_[0]);
    if (pick(2)) switches_.push_back("-U");
    if (pick(2)) switches_.push_back("-G");
  }

  const std::vector<std::string>& switches() const { return switches_; }

  // Plays the random sequence into `release`.
  void play(const ReleaseFixture& release) {
    const int steps = 4 + pick(12);
    const int sfv_at = pick(steps + 1);
    for (int step = 0; step < steps; ++step) {
      if (step == sfv_at) arrive(release);
      random_step(release);
    }
    if (sfv_at == steps || !exists(release.in_release("r.sfv"))) arrive(release);
    keep_one_copy_of_each_kind(release);
  }

  // True when every file of the release has a good copy under some name.
  bool all_good(const ReleaseFixture& release) const {
    for (std::size_t i = 0; i + 1 < names_.size(); ++i) {
      if (!has_good_copy(release, i) && !(i == 0 && has_good_copy(release, names_.size() - 1)))
        return false;
    }
    return true;
  }

  bool has_good_copy(const ReleaseFixture& release, std::size_t i) const {
    for (const char* suffix : kSuffixes) {
      const std::string copy = release.in_release(names_[i] + suffix);
      if (exists(copy) && read_file(copy) == good_[i]) return true;
    }
    return false;
  }

  // The replay: the SFV first, then per file its surviving corrupt copy (set
  // aside by the server) and its good copy, each checked as it arrives.
  void replay(const ReleaseFixture& from, const ReleaseFixture& into) {
    into.put("r.sfv", sfv_);
    upload(into, "r.sfv");
    for (std::size_t i = 0; i < names_.size(); ++i) {
      for (const char* suffix : kSuffixes) {
        const std::string copy = from.in_release(names_[i] + suffix);
        if (exists(copy) && read_file(copy) != good_[i]) {
          into.put(names_[i], read_file(copy));
          EXPECT_EQ(upload(into, names_[i]), 6);
          std::rename(into.in_release(names_[i]).c_str(),
                      into.in_release(names_[i] + "-crc-failed").c_str());
        }
      }
      if (has_good_copy(from, i)) {
        into.put(names_[i], good_[i]);
        EXPECT_NE(upload(into, names_[i]), 6);
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }

  int upload(const ReleaseFixture& release, const std::string& name) {
    return release.upload(name, switches_, kEnv).status;
  }

  void arrive(const ReleaseFixture& release) {
    release.put("r.sfv", sfv_);
    if (pick(5) != 0) upload(release, "r.sfv");  // else the arrival's run was killed
  }

  // A hook run for `name`, and what the server does with a file that fails
  // its check: delete it or set it aside under the bad name.
  void check_as_uploaded(const ReleaseFixture& release, const std::string& name) {
    if (upload(release, name) != 6) return;
    if (pick(2)) {
      std::remove(release.in_release(name).c_str());
    } else {
      std::rename(release.in_release(name).c_str(),
                  release.in_release(name + "-crc-failed").c_str());
    }
  }

  void random_step(const ReleaseFixture& release) {
    const int i = pick(static_cast<int>(names_.size()));
    const std::string name = names_[i];
    std::vector<std::string> copies;
    for (const char* suffix : kSuffixes) {
      if (exists(release.in_release(name + suffix)))
        copies.push_back(release.in_release(name + suffix));
    }
    const std::string copy =
        copies.empty() ? release.in_release(name) : copies[pick(static_cast<int>(copies.size()))];
    const std::string other = release.in_release(name + kSuffixes[pick(3)]);
    // The other spelling of f0.rar only ever comes as an upload.
    switch (i + 1 == static_cast<int>(names_.size()) ? 0 : pick(8)) {
      case 0:
      case 1:  // an upload, good or corrupt
      case 2: {
        release.put(name, pick(3) == 0 ? bad_[i] : good_[i]);
        check_as_uploaded(release, name);
        break;
      }
      case 3:  // moved by hand, replacing what bore the new name, or two names swapped
        if (pick(2) && exists(other)) {
          const std::string aside = release.in_release("swap");
          std::rename(copy.c_str(), aside.c_str());
          std::rename(other.c_str(), copy.c_str());
          std::rename(aside.c_str(), other.c_str());
        } else {
          std::rename(copy.c_str(), other.c_str());
        }
        break;
      case 4:  // deleted by hand, or gone bad on the disk
        if (pick(2)) {
          std::remove(copy.c_str());
        } else if (exists(copy)) {
          write_file(copy, bad_[i]);
        }
        break;
      case 5:  // a marker deleted
        std::remove(release.in_release(name + "-missing").c_str());
        break;
      case 6:  // a marker planted, for a listed name or another
        release.put(pick(2) ? name + "-missing" : "zz.rar-missing", "");
        break;
      case 7:  // a run of the hook for a file already there, as if uploaded again
        if (exists(release.in_release(name))) check_as_uploaded(release, name);
        break;
    }
  }

  // A replay holds at most one good and one corrupt copy of each file; so
  // the hand removes copies beyond that here, as an administrator clears out
  // duplicates before a repair.
  void keep_one_copy_of_each_kind(const ReleaseFixture& release) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      bool seen_good = false;
      bool seen_bad = false;
      for (const char* suffix : kSuffixes) {
        const std::string copy = release.in_release(names_[i] + suffix);
        if (!exists(copy)) continue;
        bool& seen = read_file(copy) == good_[i] ? seen_good : seen_bad;
        if (seen) std::remove(copy.c_str());
        seen = true;
      }
    }
  }

  std::mt19937 random_;
  std::vector<std::string> names_;
  std::vector<std::string> good_;
  std::vector<std::string> bad_;
  std::string sfv_;
  std::vector<std::string> switches_;
};

int setting(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

TEST(RepairTest, RepairEqualsACleanReplayAndDryRunPlansIt) {
  // KUVO_REPAIR_ROUNDS=500 for a longer search; KUVO_REPAIR_SEED to replay one.
  const int rounds = setting("KUVO_REPAIR_ROUNDS", 40);
  const auto first_seed = static_cast<std::uint32_t>(setting("KUVO_REPAIR_SEED", 1));
  for (int r = 0; r < rounds; ++r) {
    const std::uint32_t seed = first_seed + static_cast<std::uint32_t>(r);
    SCOPED_TRACE("KUVO_REPAIR_SEED=" + std::to_string(seed));
    Round round(seed);
    ReleaseFixture messy;
    round.play(messy);
    std::vector<std::string> publishing;
    for (const std::string& word : round.switches()) {
      if (word == "-G") publishing.push_back(word);
    }

    const auto before = snapshot(messy.release());
    std::vector<std::string> dry_args{"--repair", "--dry-run"};
    dry_args.insert(dry_args.end(), publishing.begin(), publishing.end());
    const RunResult dry = admin(messy, dry_args);
    EXPECT_EQ(snapshot(messy.release()), before) << "--dry-run changed the release";

    std::vector<std::string> repair_args{"--repair"};
    repair_args.insert(repair_args.end(), publishing.begin(), publishing.end());
    const RunResult repair = admin(messy, repair_args);
    EXPECT_EQ(plan_of(repair.out), plan_of(dry.out)) << dry.out << "----\n" << repair.out;
    EXPECT_EQ(repair.out.find("CLASH"), std::string::npos) << repair.out;
    EXPECT_EQ(repair.status, round.all_good(messy) ? 0 : 1) << repair.out;

    ReleaseFixture clean;
    round.replay(messy, clean);
    ASSERT_EQ(tree(messy), tree(clean)) << repair.out;
    // The check calls the repaired release complete exactly when a hook run does.
    const RunResult check = admin(messy, {"--check"});
    EXPECT_EQ(check.status == 0, clean.upload("r.sfv", {}, kEnv).status == 3) << check.out;
    // Repaired is as good as replayed: a second repair has nothing to do.
    EXPECT_EQ(plan_of(admin(messy, {"--repair", "--dry-run"}).out), "");
  }
}

// Steps that must not be carried out, or that fail: no file is lost, and nothing
// is announced that the report does not call complete or was complete before.
TEST(RepairTest, NoStepTouchesTheSfvOrUnreadBytesAndOnlyVerifiedChangeIsAnnounced) {
  const std::string longest = std::string(245, 'n') + ".rar";  // room for "-u", not "-crc-failed"
  const std::string sfv_a = ReleaseFixture::sfv_line("a.rar", "AAA");
  const std::string status_50 = "-[050%]-[##########----------]-";
  struct Row {
    std::string why;
    std::vector<std::pair<std::string, std::string>> files;  // "-[..." a directory
    Env env;
    bool as_nobody;
    int status;  // -1: not this table's business
    std::string plan;
  };
  const std::vector<Row> rows = {
      {"an SFV listing itself is neither renamed nor marked",
       {{"r.sfv", sfv_a + "r.sfv 00000000\r\n"}, {"a.rar", "AAA"}},
       {{"KUVO_IGNORE", "*.nfo"}}, false, -1, ""},
      {"a failed rename to the bad name keeps the good copy from replacing the corrupt one",
       {{"r.sfv", ReleaseFixture::sfv_line(longest, "LONG")}, {longest, "corrupt"},
        {longest + "-u", "LONG"}},
       {{"KUVO_UNTESTED", "-u"}}, false, 1,
       "RENAME " + longest + " -> " + longest + "-crc-failed\nFAILED " + longest +
           ": Unable to rename " + longest + " to " + longest +
           "-crc-failed: File name too long.\nRENAME " + longest + "-u -> " + longest +
           "\nFAILED " + longest + "-u: Unable to rename " + longest + "-u to " + longest +
           ": File exists.\n"},
      {"a file replaced after it was read keeps its name",
       {{"r.sfv", ReleaseFixture::sfv_line("d.rar", "DDD")}, {"d.rar-untested", "DDD"}},
       {{"LD_PRELOAD", KUVO_FAULT_SHIM}, {"ASAN_OPTIONS", "verify_asan_link_order=0"},
        {"KUVO_FAULT_REPLACE_NAME", "d.rar-untested"},
        {"KUVO_FAULT_REPLACE_WITH", "evil"}},
       false, 1,
       "RENAME d.rar-untested -> d.rar\nCHANGED d.rar-untested (not the file that was read; "
       "left)\n"},
      {"steps refused for lack of permission publish what was verified",
       {{"r.sfv", sfv_a + ReleaseFixture::sfv_line("b.rar", "BBB")}, {"a.rar", "AAA"},
        {"b.rar", "corrupt"}},
       {}, true, 1,
       "RENAME b.rar -> b.rar-crc-failed\nFAILED b.rar: Unable to rename b.rar to "
       "b.rar-crc-failed: Permission denied.\nCREATE b.rar-missing\nFAILED b.rar-missing: "
       "Unable to create marker b.rar-missing: Permission denied.\n"},
      {"a release complete before is not announced again, and a stale status directory named",
       {{"r.sfv", sfv_a}, {"a.rar", "AAA"}, {status_50, ""}}, {}, false, 0,
       "NOTE " + status_50 + ": stale status directory; --repair refreshes it only with -G\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    if (row.as_nobody && geteuid() != 0) continue;
    ReleaseFixture release;
    for (const auto& [name, contents] : row.files) {
      if (name.starts_with("-[")) mkdir(release.in_release(name).c_str(), 0755);
      if (!name.starts_with("-[")) release.put(name, contents);
    }
    const auto before = snapshot(release.release());
    Env env = row.env;
    env["KUVO_ANNOUNCEFILE"] = release.announce();
    env["KUVO_FAULT_LOG"] = release.sandbox() / "faults.log";
    write_file(release.announce(), "");
    chmod(release.announce().c_str(), 0666);
    chmod(release.sandbox().path().c_str(), 0755);
    RunOptions options;
    options.cwd = release.release();
    if (row.as_nobody) options.run_as = 65534;
    const RunResult run = run_kuvo(env, {"--repair", "-A1"}, options);
    const bool seam = row.env.count("LD_PRELOAD") > 0;
    // A kuvo linked statically takes no preloaded seam.
    if (seam && read_file(release.sandbox() / "faults.log") != "replaced\n") continue;
    EXPECT_EQ(plan_of(run.out), row.plan) << run.out;
    EXPECT_EQ(run.status, row.status < 0 ? run.status : row.status) << run.out;
    EXPECT_EQ(release.announce_lines().size(), 0u) << run.out;
    EXPECT_TRUE(seam || snapshot(release.release()) == before) << "no file may change";
  }
}

class RepairCaseTest : public ::testing::Test, public ReleaseFixture {};

TEST_F(RepairCaseTest, NothingButEmptyMarkersIsReplacedOrRemoved) {
  // Two corrupt copies: the one under the file's own name cannot take the bad
  // name, which the other holds.
  put("a.rar", "corrupt one");
  put("a.rar-crc-failed", "corrupt two");
  // Named like markers, but holding data, or links.
  put("b.rar-missing", "notes someone kept here");
  put("zz.rar-missing", "not empty either");
  put("target", "");
  ASSERT_EQ(symlink("target", in_release("yy.rar-missing").c_str()), 0);
  put("b.rar", "BBB");
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));

  RunResult run = run_kuvo({}, {"--repair", release()});
  EXPECT_EQ(run.status, 1);
  const std::string rel = release();
  EXPECT_EQ(plan_of(run.out), "CLASH " + rel +
                                  "/a.rar -> a.rar-crc-failed (target exists; both left)\n"
                                  "CREATE " +
                                  rel +
                                  "/a.rar-missing\n"
                                  "CLASH " +
                                  rel +
                                  "/b.rar-missing (not an empty marker; left)\n"
                                  "CLASH " +
                                  rel +
                                  "/yy.rar-missing (not an empty marker; left)\n"
                                  "CLASH " +
                                  rel + "/zz.rar-missing (not an empty marker; left)\n");
  EXPECT_EQ(read_file(in_release("a.rar")), "corrupt one");
  EXPECT_EQ(read_file(in_release("a.rar-crc-failed")), "corrupt two");
  EXPECT_EQ(read_file(in_release("b.rar-missing")), "notes someone kept here");
  EXPECT_EQ(read_file(in_release("zz.rar-missing")), "not empty either");
  EXPECT_EQ(files(), (Files{"a.rar", "a.rar-crc-failed", "a.rar-missing", "b.rar", "b.rar-missing",
                            "r.sfv", "target", "yy.rar-missing", "zz.rar-missing"}));
}

TEST_F(RepairCaseTest, AGoodCopyUnderTheBadNameSwapsWithACorruptOneAndUnreadableFilesStay) {
  put("a.rar", "corrupt");
  put("a.rar-crc-failed", "AAA");
  if (exists("/proc/self/mem")) {
    // A regular file whose reads fail: it keeps its name and gets its marker.
    ASSERT_EQ(symlink("/proc/self/mem", in_release("b.rar").c_str()), 0);
  }
  put("r.sfv", sfv_line("a.rar", "AAA") + "b.rar 00000000\r\n");
  RunResult run = run_kuvo({}, {"--repair"}, release());
  EXPECT_EQ(plan_of(run.out),
            "EXCHANGE a.rar <-> a.rar-crc-failed\n"
            "CREATE b.rar-missing\n");
  EXPECT_EQ(read_file(in_release("a.rar")), "AAA");
  EXPECT_EQ(read_file(in_release("a.rar-crc-failed")), "corrupt");
  EXPECT_TRUE(exists(in_release("b.rar")));
  EXPECT_NE(run.out.find("UNREADABLE b.rar ("), std::string::npos) << run.out;
}

TEST_F(RepairCaseTest, PublishesAsAHookRunWouldWithTheSwitchesGiven) {
  // Run by relative path from a directory reached through a link: the status
  // file and announce line name the release by the full path the shell uses.
  put("a.rar", "AAA");
  put("b.rar-untested", "BBB");
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB") + sfv_line("c.rar", "CCC"));
  mkdir(in_release("-[000%]-[--------------------]-").c_str(), 0777);
  const std::string site = sandbox() / "linked";
  ASSERT_EQ(symlink(".", site.c_str()), 0);
  const Env env{{"KUVO_BASEDIR", site}, {"KUVO_ANNOUNCEFILE", announce()}, {"USER", "admin"},
                {"PWD", site}};
  // What a repair by root creates belongs to whoever owns the release.
  ASSERT_TRUE(geteuid() != 0 || chown(release().c_str(), 65534, 65534) == 0);
  RunResult run = run_kuvo(env, {"--repair", "-G", "-I", "-A2", "rel"}, site);
  for (const char* made : {"c.rar-missing", "-[066%]-[#############-------]-"}) {
    struct stat st;
    ASSERT_EQ(lstat(in_release(made).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid() == 0 ? 65534u : geteuid()) << made;
  }
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Upload progress: [066%] [#############-------]\r\n");
  EXPECT_EQ(files(),
            (Files{"-[066%]-[#############-------]-", "a.rar", "b.rar", "c.rar-missing", "r.sfv"}));
  EXPECT_TRUE(exists(sandbox() / "rel-[066%]-[#############-------]-"));
  std::vector<std::string> lines = announce_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(24),
            " NEWDIR: \"" + site + "/rel -[066%]-[#############-------]-\" \"admin\" \"?\" \"?\"");
  // Named by its physical path, it is not below KUVO_BASEDIR, and says so.
  run = run_kuvo(env, {"--repair", "-I", release()});
  EXPECT_NE(run.out.find("NOTE " + release() + ": not below KUVO_BASEDIR"), std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace kuvo::testing
