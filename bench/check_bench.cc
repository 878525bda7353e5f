// How fast `kuvo --check` verifies a whole release in the page cache, against
// cksfv and rhash verifying the same SFV file and against plainly reading the
// files. It builds a release of pseudo-random files and the SFV listing their
// CRC-32s in a scratch directory, reads every file once so that all of them
// are in the page cache, then times whole runs of each program, wall time, the
// fastest of several runs each. The runs take turns, so that the load of a
// shared machine falls on all programs alike, and the fastest run is the best
// estimate of a program's own cost, since other work only ever adds time.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/check_bench
//
// Every program is verified before it is timed: it must pass the clean
// release and fail a small release with one corrupt byte, so that a program
// that verifies nothing is never timed as fast. The SFV's CRC-32s are
// kuvo's own; cksfv and rhash passing the clean release confirms them.
//
// Environment: KUVO_CHECK_BENCH_FILES (default 100) files of
// KUVO_CHECK_BENCH_MIB (default 20) MiB each, KUVO_CHECK_BENCH_RUNS (default
// 5) runs of each program, KUVO_CHECK_BENCH_KUVO (default: the kuvo built
// beside this program). The release goes under $TMPDIR when set, else to
// /dev/shm when it has room, else to /tmp, and is removed at the end.
//
// The speed goals hold for 100 files of 20 MiB; at any other size they are
// shown but not judged, which suits a brief smoke run. Exit status: 0 when
// every program ran and, at the goals' size, every goal was met; 1 when a
// program is missing or failed its verification, or the release could not be
// made; 2 at the goals' size when a goal was missed or kuvo has no --check.
//
// The subjects are whole processes and the result is a verdict on three
// ratios, so this is a plain program rather than a Google Benchmark one.
#include <unistd.h>

#include "process_bench.h"

namespace {

using namespace kuvo_bench;

constexpr long kGoalFiles = 100;
constexpr long kGoalMib = 20;

// The program passes the clean release and fails the corrupt one; otherwise
// the benchmark stops with what the program said.
void verify(const Subject& subject, const fs::path& clean, const fs::path& corrupt,
            const fs::path& output) {
  const Timing on_clean = run_subject(subject, clean, output);
  if (on_clean.status != 0) {
    fail(subject.label + " exited with " + std::to_string(on_clean.status) +
         " on the clean release:\n" + file_text(output));
  }
  const Timing on_corrupt = run_subject(subject, corrupt, output);
  if (on_corrupt.status == 0) {
    fail(subject.label + " passed a release with a corrupt byte:\n" + file_text(output));
  }
}

// Whether this kuvo has --check: it passes the clean release, or else its
// usage does not list the option (a kuvo without it skips the unknown word and
// stops for want of its environment). A kuvo that lists --check and fails the
// clean release stops the benchmark.
bool kuvo_has_check(const Config& config, const Subject& check, const fs::path& clean,
                    const fs::path& output) {
  const Timing on_clean = run_subject(check, clean, output);
  if (on_clean.status == 0) return true;
  const std::string said = file_text(output);
  run_program({config.kuvo, "--help"}, clean, output);
  if (file_text(output).find("--check") != std::string::npos) {
    fail(check.label + " exited with " + std::to_string(on_clean.status) +
         " on the clean release:\n" + said);
  }
  std::printf("kuvo --check not available: %s --help does not list it (kuvo --check exited with %d)\n",
              config.kuvo.c_str(), on_clean.status);
  return false;
}

}  // namespace

int main() {
  catch_interrupts();
  const Config config = read_config("KUVO_CHECK_BENCH", kGoalFiles, kGoalMib);
  const std::uint64_t file_bytes = static_cast<std::uint64_t>(config.mib) << 20;

  std::vector<Subject> subjects = {
      {"read all files, 1 thread", {}, {}, {}, false},
      {"read all files, 2 threads", {}, {}, {}, false},
      {"cksfv -q -f release.sfv", {"cksfv", "-q", "-f", kSfvName}, {}, {}, false},
      {"rhash --crc32 -c release.sfv", {"rhash", "--crc32", "-c", kSfvName}, {}, {}, false},
      {"kuvo --check -j 1 DIR", {config.kuvo, "--check", "-j", "1", "{dir}"}, {}, {}, false},
      {"kuvo --check -j 2 DIR", {config.kuvo, "--check", "-j", "2", "{dir}"}, {}, {}, false},
  };
  Subject& read1 = subjects[0];
  Subject& read2 = subjects[1];
  Subject& cksfv = subjects[2];
  Subject& rhash = subjects[3];
  Subject& kuvo1 = subjects[4];
  Subject& kuvo2 = subjects[5];
  locate_tools({&cksfv, &rhash});
  if (access(config.kuvo.c_str(), X_OK) != 0) fail("no kuvo at " + config.kuvo);
  make_scratch(config, "check");
  const fs::path release = scratch / "release";
  const fs::path corrupt = scratch / "corrupt";
  const fs::path output = scratch / "output";

  print_release_line(config, release);
  const std::vector<std::string> names = make_release(release, config.files, file_bytes, 1);
  const std::vector<std::string> corrupt_names = make_release(corrupt, 3, (1 << 20) + 3, 2);
  corrupt_last_byte(corrupt / corrupt_names.back());
  read_all(release, names, 1);  // brings every file into the page cache

  verify(cksfv, release, corrupt, output);
  verify(rhash, release, corrupt, output);
  const bool has_check = kuvo_has_check(config, kuvo1, release, output);
  if (has_check) {
    verify(kuvo1, release, corrupt, output);
    verify(kuvo2, release, corrupt, output);
  }

  time_in_turns(subjects, config.runs, [&](const Subject& subject) -> std::optional<Timing> {
    if (!has_check && (&subject == &kuvo1 || &subject == &kuvo2)) return std::nullopt;
    if (&subject == &read1) return read_all(release, names, 1);
    if (&subject == &read2) return read_all(release, names, 2);
    return run_subject(subject, release, "/dev/null");
  });
  print_rows(config, subjects);

  const bool judge = config.at_goal_size();
  bool met = print_ratio("cksfv / kuvo -j 1", cksfv, kuvo1, 20, judge);
  met = print_ratio("rhash / kuvo -j 1", rhash, kuvo1, 5, judge) && met;
  met = print_ratio("kuvo -j 1 / kuvo -j 2", kuvo1, kuvo2, 1.7, judge) && met;
  // A checker that reads the files can at best take as long as reading them
  // alone, so the tools' times over that are the highest ratios any reach.
  std::printf("Against reading the files alone:\n");
  print_ratio("kuvo -j 1 / read, 1 thread", kuvo1, read1, 0, judge);
  print_ratio("kuvo -j 2 / read, 2 threads", kuvo2, read2, 0, judge);
  print_ratio("cksfv / read, 1 thread", cksfv, read1, 0, judge);
  print_ratio("rhash / read, 1 thread", rhash, read1, 0, judge);
  leave(judge && !met ? 2 : 0);
}
