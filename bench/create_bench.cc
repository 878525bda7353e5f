// How fast `kuvo --create` writes the SFV of a release in the page cache:
// against `kuvo --check` reading the same files, against cksfv and rhash
// writing the same SFV, and with one thread against two. Against the tools
// kuvo runs as a user runs it, reading as many files at once as there are
// processors; its figures with one thread are shown beside those. It builds a release
// of pseudo-random files and its SFV in a scratch directory, reads every file
// once so that all of them are in the page cache, then times whole runs of
// each program, wall time, the fastest of several runs each, the runs taking
// turns (see process_bench.h); for reference, it also reads the files alone in
// its own process, through kuvo's buffer size.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/create_bench
//
// Every program is verified before it is timed: kuvo's SFV must equal the
// one the release was made with, line for line, cksfv's and rhash's must hold
// every one of its lines, and --check must pass the release.
//
// Environment: KUVO_CREATE_BENCH_FILES (default 40) files of
// KUVO_CREATE_BENCH_MIB (default 16) MiB each, KUVO_CREATE_BENCH_RUNS
// (default 5) runs of each program, KUVO_CREATE_BENCH_KUVO (default: the kuvo
// built beside this program). The release goes under $TMPDIR when set, else
// to /dev/shm when it has room, else to /tmp, and is removed at the end.
//
// The speed goals hold for 40 files of 16 MiB; at any other size they are
// shown but not judged, which suits a brief smoke run. Exit status: 0 when
// every program ran and, at the goals' size, every goal was met; 1 when a
// program is missing or wrote a wrong SFV, or the release could not be made;
// 2 at the goals' size when a goal was missed.
#include <unistd.h>

#include <sstream>

#include "process_bench.h"

namespace {

using namespace kuvo_bench;

constexpr long kGoalFiles = 40;
constexpr long kGoalMib = 16;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The program's SFV holds every line of the release's (kuvo's: exactly those,
// after its header line); otherwise the benchmark stops with what it wrote.
void verify(const Subject& subject, const fs::path& release, const fs::path& output,
            bool exactly) {
  const std::string expected = file_text(release / kSfvName);
  const Timing timing = run_subject(subject, release, output);
  const std::string written = file_text(output);
  bool good = timing.status == 0;
  if (exactly) {
    good = good && written.substr(written.find('\n') + 1) == expected;
  } else {
    const std::vector<std::string> lines = lines_of(written);
    for (const std::string& line : lines_of(expected))
      good = good && std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  if (!good) {
    fail(subject.label + " (exit status " + std::to_string(timing.status) +
         ") did not write the release's SFV:\n" + written);
  }
}

}  // namespace

int main() {
  catch_interrupts();
  const Config config = read_config("KUVO_CREATE_BENCH", kGoalFiles, kGoalMib);
  if (access(config.kuvo.c_str(), X_OK) != 0) fail("no kuvo at " + config.kuvo);
  make_scratch(config, "create");
  const fs::path release = scratch / "release";
  const fs::path output = scratch / "output";
  print_release_line(config, release);
  // What --create reads at once unless told otherwise.
  const long processors = std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
  const std::vector<std::string> names =
      make_release(release, config.files, static_cast<std::uint64_t>(config.mib) << 20, 1);

  auto with_names = [&names](std::vector<std::string> argv) {
    argv.insert(argv.end(), names.begin(), names.end());
    return argv;
  };
  std::vector<Subject> subjects = {
      {"read all files, 1 thread", {}, {}, {}, false},
      {"kuvo --check -j 1 DIR", {config.kuvo, "--check", "-j", "1", "{dir}"}, {}, {}, false},
      {"kuvo --create -j 1 FILES", with_names({config.kuvo, "--create", "--crlf", "-j", "1"}),
       {}, {}, false},
      {"kuvo --create -j 2 FILES", with_names({config.kuvo, "--create", "--crlf", "-j", "2"}),
       {}, {}, false},
      {"kuvo --create FILES (-j " + std::to_string(processors) + ")",
       with_names({config.kuvo, "--create", "--crlf"}), {}, {}, false},
      {"cksfv FILES", with_names({"cksfv"}), {}, {}, false},
      {"rhash --sfv FILES", with_names({"rhash", "--sfv"}), {}, {}, false},
  };
  Subject& read1 = subjects[0];
  Subject& check1 = subjects[1];
  Subject& create1 = subjects[2];
  Subject& create2 = subjects[3];
  Subject& create = subjects[4];
  Subject& cksfv = subjects[5];
  Subject& rhash = subjects[6];
  locate_tools({&cksfv, &rhash});

  read_all(release, names, 1);  // brings every file into the page cache
  if (run_subject(check1, release, output).status != 0) {
    fail(check1.label + " failed on the release:\n" + file_text(output));
  }
  verify(create1, release, output, true);
  verify(create2, release, output, true);
  verify(create, release, output, true);
  verify(cksfv, release, output, false);
  verify(rhash, release, output, false);

  time_in_turns(subjects, config.runs, [&](const Subject& subject) -> std::optional<Timing> {
    if (&subject == &read1) return read_all(release, names, 1);
    return run_subject(subject, release, "/dev/null");
  });
  print_rows(config, subjects);
  const bool judge = config.at_goal_size();
  // Within 1.25 times --check's time is at least 0.8 times its speed.
  bool met = print_ratio("--check / --create, -j 1", check1, create1, 0.8, judge);
  met = print_ratio("cksfv / kuvo --create", cksfv, create, 20, judge) && met;
  met = print_ratio("rhash / kuvo --create", rhash, create, 5, judge) && met;
  met = print_ratio("kuvo --create -j 1 / -j 2", create1, create2, 1.6, judge) && met;
  print_ratio("cksfv / kuvo --create -j 1", cksfv, create1, 0, judge);
  print_ratio("rhash / kuvo --create -j 1", rhash, create1, 0, judge);
  // A program that reads the files can at best take as long as reading them
  // alone, so the tools' times over that are the highest ratios any reaches.
  std::printf("Against reading the files alone:\n");
  print_ratio("kuvo --create -j 1 / read", create1, read1, 0, judge);
  print_ratio("cksfv / read", cksfv, read1, 0, judge);
  print_ratio("rhash / read", rhash, read1, 0, judge);
  // Other work on a shared machine takes cores from the runs: the load at
  // the end beside that at the start says how much.
  double load = 0;
  getloadavg(&load, 1);
  std::printf("Load average at the end %.2f; %ld processors\n", load, processors);
  // Where the scheduler groups a session's threads (autogroup), a busy
  // machine gives all of them one share: -j 2 then gains nothing, and its
  // run has had no more than one processor.
  if (create1.timed && create2.timed) {
    auto share = [](const Timing& run) { return run.cpu_seconds / run.wall_seconds; };
    const double two = share(create2.fastest);
    std::printf("Processors kuvo --create had while it ran: %.2f with -j 1, %.2f with -j 2%s\n",
                share(create1.fastest), two,
                two < 1.5 ? " (other work held one: -j 2 cannot be judged)" : "");
  }
  leave(judge && !met ? 2 : 0);
}
