// What a whole kuvo run costs in a large release, against the least that any
// run of its kind must do, measured in the same run of this program.
//
// A release of N SFV entries has its even-numbered files present (N/2 files)
// and, once its SFV has arrived, a missing marker for each odd-numbered one.
// For each size this program times, interleaved round by round so that a busy
// machine slows all alike:
//
// - the single-file check's floor: one readdir pass over the release directory
//   and one read of its SFV file, in this process;
// - spawning a trivial kuvo run (`kuvo --version`), which every run pays too;
// - the same floor done by a process of its own (this program, started again
//   with --floor-run), beside that process started to do nothing
//   (--idle-run): a fresh process meets its memory and the kernel's
//   structures cold, which the loop in this process does not, and the
//   difference is what the floor itself costs a run;
// - a process of its own that touches 1024 fresh pages of memory
//   (--touch-run), against the one doing nothing: what each page a run fills
//   for the first time costs it; with the page faults of every kind of run,
//   this tells how much of a run's time is the memory it fills;
// - the single-file check of one small file, without and with -G: the file is
//   written just before its run, as an upload server runs kuvo right after the
//   upload; afterwards the file goes and its marker comes back, so every
//   round meets the same release. A directory changed that recently may have
//   changed again unseen while kuvo checked, and kuvo then lists it once more;
//   so the check is timed again with the directory left still for 60 ms
//   before the run;
// - the SFV arrival's floor: creating its N/2 markers alone, one open and close
//   each, in this process;
// - the SFV arrival itself; its markers are removed again after each round
//   but the last, and after each floor round.
//
// kuvo runs as an upload server runs it: a process of its own, console output
// discarded, spawned from a small helper forked before anything grows (a child
// is charged its parent's pages until it execs, which would inflate its peak
// memory). Times are wall times from spawn to reaping; the fastest round is
// the estimate of a run's own cost (other work on the machine only adds time),
// the median is shown beside it. Ratios are of the fastest rounds. With
// --strace, one more run of each kind goes under `strace -f` and its system
// calls are counted by name.
//
//   cmake --preset bench && cmake --build --preset bench
//   TMPDIR=/dev/shm build/bench/release_bench [--sizes=16000,64000] [--rounds=15] [--strace]
//
// --kuvo=PATH times another kuvo executable, such as an earlier build.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crc/crc32.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kSfvName = "release.sfv";
constexpr const char* kMissingSuffix = "-missing";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "release_bench: %s\n", why.c_str());
  std::exit(1);
}

std::string entry_name(long i) {
  char name[64];
  std::snprintf(name, sizeof name, "Some_Artist-Some_Album-Track_%07ld.rar", i);
  return name;
}

std::string entry_contents(long i) { return std::to_string(i) + "\n"; }

std::uint32_t crc_of(const std::string& text) {
  return kuvo::crc32_update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void write_file(const fs::path& path, const std::string& contents) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 ||
      write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
    fail("cannot write " + path.string());
  close(fd);
}

// Pages a --touch-run fills, a few megabytes, as a large release's run does.
constexpr long kTouchedPages = 1024;

// Fills kTouchedPages fresh pages of memory; returns a byte of them, so that
// the filling is not left out.
int touch_fresh_pages() {
  const long page = sysconf(_SC_PAGESIZE);
  auto* memory =
      static_cast<volatile char*>(std::malloc(static_cast<std::size_t>(page * kTouchedPages)));
  if (memory == nullptr) return 1;
  for (long i = 0; i < kTouchedPages; ++i) memory[i * page] = 1;
  return memory[page] - 1;
}

// One readdir pass over the release directory `dir` and one read of its SFV:
// what any single-file check must do at the least. Returns the entries seen,
// so that nothing is left out.
long list_and_read_release(const fs::path& dir) {
  long seen = 0;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) fail("cannot list the release");
  while (const dirent* entry = readdir(listing)) seen += entry->d_name[0] != 0;
  closedir(listing);
  const int fd = open((dir / kSfvName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot read the SFV");
  static char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) seen += buffer[got - 1] == '\n';
  close(fd);
  return seen;
}

// One run of a process: wall time from spawn to reaping, the child's own CPU
// time and peak memory, and its system calls by name when it ran under strace.
struct ChildRun {
  double seconds = 0;
  double cpu_seconds = 0;     // user and system
  double system_seconds = 0;  // system alone
  long max_rss_kb = 0;
  long page_faults = 0;  // minor ones: pages the process touched first
  int status = -1;       // exit status, -1 when the process did not exit normally
};

// This thread's processor time, user and system.
double thread_cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Wall and processor time of `work`, done in this process.
template <typename Work>
ChildRun time_in_process(Work work) {
  ChildRun run;
  const double cpu_start = thread_cpu_seconds();
  const auto start = Clock::now();
  work();
  run.seconds = seconds_since(start);
  run.cpu_seconds = thread_cpu_seconds() - cpu_start;
  return run;
}

// The kuvo under test: --kuvo=PATH, or the one built beside this program.
fs::path kuvo_path;

fs::path kuvo_binary() {
  if (kuvo_path.empty()) kuvo_path = fs::read_symlink("/proc/self/exe").parent_path() / "kuvo";
  return kuvo_path;
}

// What the helper is asked to run: kuvo for the upload `file` into `dir` with
// `switches` ("--version" alone runs the trivial kuvo), under strace writing to
// `trace` when that is not empty; `program` in place of kuvo when given.
struct Request {
  std::string dir;
  std::string file;
  std::string switches;
  std::string trace;
  std::string program;
};

ChildRun spawn_kuvo(const Request& request) {
  const std::string binary = request.program.empty() ? kuvo_binary().string() : request.program;
  std::vector<std::string> args;
  if (!request.trace.empty()) args = {"strace", "-f", "-qq", "-o", request.trace};
  args.push_back(binary);
  std::istringstream switches(request.switches);
  for (std::string word; switches >> word;) args.push_back(word);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::string env_file = "KUVO_FILE=" + request.file;
  std::string env_dir = "KUVO_DIR=" + request.dir;
  std::string env_path = "PATH=/usr/bin:/bin";
  char* envp[] = {env_file.data(), env_dir.data(), env_path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

  ChildRun run;
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp) == 0) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid) {
      run.seconds = seconds_since(start);
      run.system_seconds = static_cast<double>(usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
      run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec) / 1e6 + run.system_seconds;
      run.max_rss_kb = usage.ru_maxrss;
      run.page_faults = usage.ru_minflt;
      if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

// The helper that spawns every kuvo run; requests are five NUL-terminated
// fields, replies a ChildRun.
class Launcher {
 public:
  Launcher() {
    int requests[2];
    int replies[2];
    if (pipe(requests) != 0 || pipe(replies) != 0) fail("cannot make pipes");
    pid_ = fork();
    if (pid_ < 0) fail("cannot fork the launcher");
    if (pid_ == 0) {
      close(requests[1]);
      close(replies[0]);
      serve(requests[0], replies[1]);
      _exit(0);
    }
    close(requests[0]);
    close(replies[1]);
    requests_ = requests[1];
    replies_ = replies[0];
  }
  ~Launcher() {
    close(requests_);
    close(replies_);
    waitpid(pid_, nullptr, 0);
  }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  ChildRun run(const Request& request) {
    const std::string text = request.dir + '\0' + request.file + '\0' + request.switches + '\0' +
                             request.trace + '\0' + request.program + '\0';
    ChildRun run;
    if (write(requests_, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        read(replies_, &run, sizeof run) != static_cast<ssize_t>(sizeof run)) {
      fail("the launcher is gone");
    }
    return run;
  }

 private:
  static void serve(int requests, int replies) {
    std::FILE* in = fdopen(requests, "r");
    char* text = nullptr;
    std::size_t capacity = 0;
    for (;;) {
      Request request;
      for (std::string* field :
           {&request.dir, &request.file, &request.switches, &request.trace, &request.program}) {
        if (getdelim(&text, &capacity, '\0', in) <= 0) {
          std::free(text);
          return;
        }
        *field = text;
      }
      const ChildRun run = spawn_kuvo(request);
      if (write(replies, &run, sizeof run) != static_cast<ssize_t>(sizeof run)) break;
    }
    std::free(text);
  }

  pid_t pid_ = -1;
  int requests_ = -1;
  int replies_ = -1;
};

// Every round's figure of one kind of run.
struct Series {
  std::vector<double> seconds;
  std::vector<double> cpu_seconds;
  double system_seconds = 0;  // summed over the rounds
  long max_rss_kb = 0;
  long page_faults = 0;  // the fewest of any round

  void add(const ChildRun& run) {
    page_faults = seconds.empty() ? run.page_faults : std::min(page_faults, run.page_faults);
    seconds.push_back(run.seconds);
    cpu_seconds.push_back(run.cpu_seconds);
    system_seconds += run.system_seconds;
    max_rss_kb = std::max(max_rss_kb, run.max_rss_kb);
  }
  static double least(const std::vector<double>& v) {
    return v.empty() ? NAN : *std::min_element(v.begin(), v.end());
  }
  static double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  double fastest() const { return least(seconds); }
};

// A release directory of `entries` SFV entries whose even-numbered files are
// present; removed with everything in it when the object goes away.
class Release {
 public:
  explicit Release(long entries) : entries_(entries) {
    std::string pattern = (fs::temp_directory_path() / "kuvo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot make a directory under TMPDIR");
    dir_ = pattern;
    std::string sfv;
    for (long i = 0; i < entries; ++i) {
      char line[96];
      std::snprintf(line, sizeof line, "%s %08x\r\n", entry_name(i).c_str(),
                    crc_of(entry_contents(i)));
      sfv += line;
      if (i % 2 == 0) write_file(dir_ / entry_name(i), entry_contents(i));
    }
    write_file(dir_ / kSfvName, sfv);
  }
  ~Release() { fs::remove_all(dir_); }
  Release(const Release&) = delete;
  Release& operator=(const Release&) = delete;

  const fs::path& dir() const { return dir_; }
  long entries() const { return entries_; }
  fs::path marker(long i) const { return dir_ / (entry_name(i) + kMissingSuffix); }

  // Creates the markers of the absent files, one open and close each.
  void create_markers() const {
    for (long i = 1; i < entries_; i += 2) {
      const int fd = open(marker(i).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) fail("cannot create a marker");
      close(fd);
    }
  }
  void remove_markers() const {
    for (long i = 1; i < entries_; i += 2) unlink(marker(i).c_str());
  }

  long list_and_read() const { return list_and_read_release(dir_); }

 private:
  long entries_;
  fs::path dir_;
};

// The figures of one release size.
struct SizeFigures {
  long entries = 0;
  Series list_floor, floor_process, idle_process, touch_process, spawn, check, check_g, still_check,
      still_check_g, marker_floor, arrival;
  std::map<std::string, std::map<std::string, long>> syscalls;  // by run kind, then by name
};

Launcher* launcher = nullptr;

ChildRun run_kuvo(const Release& release, const std::string& file, const std::string& switches,
                  const std::string& trace = "") {
  return launcher->run(Request{release.dir().string(), file, switches, trace, ""});
}

// This program started again with `switch`, for the release's floor.
ChildRun run_self(const Release& release, const std::string& run_switch) {
  static const std::string self = fs::read_symlink("/proc/self/exe").string();
  return launcher->run(Request{release.dir().string(), "", run_switch, "", self});
}

// The system calls of a run traced to `trace`, by name, with "total".
std::map<std::string, long> count_syscalls(const std::string& trace) {
  std::map<std::string, long> counts;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    // "pid name(args) = result"; exit and signal lines hold no call.
    const std::size_t start = line.find_first_not_of(' ', line.find(' '));
    if (start == std::string::npos) continue;
    const std::size_t paren = line.find('(', start);
    if (paren == std::string::npos || line.compare(start, 3, "+++") == 0 ||
        line.compare(start, 3, "---") == 0)
      continue;
    ++counts[line.substr(start, paren - start)];
    ++counts["total"];
  }
  std::remove(trace.c_str());
  return counts;
}

// The uploaded file of every single-file check: one that the release lacks.
constexpr long kUpload = 1;

// Long enough for kuvo to take a directory as still since its last change.
constexpr auto kStill = std::chrono::milliseconds(60);

enum class Directory { just_changed, still };

ChildRun check_once(const Release& release, const std::string& switches, Directory directory,
                    const std::string& trace = "") {
  const std::string name = entry_name(kUpload);
  write_file(release.dir() / name, entry_contents(kUpload));
  if (directory == Directory::still) std::this_thread::sleep_for(kStill);
  const ChildRun run = run_kuvo(release, name, switches, trace);
  if (run.status != 2) fail("a single-file check did not exit with 2");
  // Back to the release as it was: the file gone, its marker there.
  unlink((release.dir() / name).c_str());
  write_file(release.marker(kUpload), "");
  return run;
}

SizeFigures measure(long entries, int rounds, bool trace) {
  SizeFigures figures;
  figures.entries = entries;
  std::fprintf(stderr, "%ld entries: building the release\n", entries);
  Release release(entries);
  // Larger releases take seconds per arrival; fewer rounds show their trend.
  const int arrival_rounds = entries >= 500000 ? 2 : std::max(2, rounds / 3);
  const int check_rounds = entries >= 500000 ? std::max(2, rounds / 3) : rounds;

  std::fprintf(stderr, "%ld entries: SFV arrival, %d rounds\n", entries, arrival_rounds);
  for (int round = 0; round < arrival_rounds; ++round) {
    figures.marker_floor.add(time_in_process([&] { release.create_markers(); }));
    release.remove_markers();
    const ChildRun run = run_kuvo(release, kSfvName, "");
    if (run.status != 0) fail("SFV arrival did not exit with 0");
    figures.arrival.add(run);
    if (round + 1 < arrival_rounds) release.remove_markers();
  }

  std::fprintf(stderr, "%ld entries: single-file checks, %d rounds\n", entries, check_rounds);
  for (int round = 0; round < check_rounds; ++round) {
    figures.list_floor.add(time_in_process([&] {
      if (release.list_and_read() < entries) fail("the floor missed entries");
    }));
    const ChildRun version = run_kuvo(release, "", "--version");
    if (version.status != 0) fail("kuvo --version failed");
    figures.spawn.add(version);
    const ChildRun floor_run = run_self(release, "--floor-run");
    if (floor_run.status != 0) fail("the floor's own process failed");
    figures.floor_process.add(floor_run);
    figures.idle_process.add(run_self(release, "--idle-run"));
    figures.touch_process.add(run_self(release, "--touch-run"));
    figures.check.add(check_once(release, "", Directory::just_changed));
    figures.check_g.add(check_once(release, "-G", Directory::just_changed));
    figures.still_check.add(check_once(release, "", Directory::still));
    figures.still_check_g.add(check_once(release, "-G", Directory::still));
  }

  if (trace) {
    const std::string file = (fs::temp_directory_path() / "kuvo-bench-trace").string();
    check_once(release, "", Directory::just_changed, file);
    figures.syscalls["single-file check"] = count_syscalls(file);
    check_once(release, "-G", Directory::just_changed, file);
    figures.syscalls["single-file check -G"] = count_syscalls(file);
    check_once(release, "", Directory::still, file);
    figures.syscalls["single-file check, still directory"] = count_syscalls(file);
    check_once(release, "-G", Directory::still, file);
    figures.syscalls["single-file check -G, still directory"] = count_syscalls(file);
    release.remove_markers();
    if (run_kuvo(release, kSfvName, "", file).status != 0) fail("SFV arrival did not exit with 0");
    figures.syscalls["SFV arrival"] = count_syscalls(file);
    if (run_kuvo(release, "", "--version", file).status != 0) fail("kuvo --version failed");
    figures.syscalls["kuvo --version"] = count_syscalls(file);
  }
  return figures;
}

std::string size_label(long n) {
  if (n % 1000000 == 0) return std::to_string(n / 1000000) + "M";
  if (n % 1000 == 0) return std::to_string(n / 1000) + "k";
  return std::to_string(n);
}

void print_row(const char* what, const Series& series, bool child) {
  std::printf("  %-34s %9.2f %9.2f %9.2f", what, series.fastest() * 1e3,
              Series::median(series.seconds) * 1e3, Series::least(series.cpu_seconds) * 1e3);
  if (child) {
    // The kernel charges user and system time by samples; their shares are
    // only good as averages over the rounds.
    double cpu_sum = 0;
    for (double cpu : series.cpu_seconds) cpu_sum += cpu;
    std::printf(" %8.0f%% %9ld", 100 * series.system_seconds / cpu_sum, series.max_rss_kb);
  }
  std::printf("\n");
}

// A run's cost against its floor, from the fastest rounds: wall time, and
// processor time, which a busy machine disturbs less.
void print_ratio(const char* what, const Series& run, const Series& floor) {
  std::printf("  %-40s wall %.2f, CPU %.2f\n", what, run.fastest() / floor.fastest(),
              Series::least(run.cpu_seconds) / Series::least(floor.cpu_seconds));
}

// The same with the cost of spawning a trivial kuvo taken off first.
void print_ratio_without(const char* what, const Series& run, const Series& spawn,
                         const Series& floor) {
  std::printf("  %-40s wall %.2f, CPU %.2f\n", what,
              (run.fastest() - spawn.fastest()) / floor.fastest(),
              (Series::least(run.cpu_seconds) - Series::least(spawn.cpu_seconds)) /
                  Series::least(floor.cpu_seconds));
}

void print_size(const SizeFigures& f) {
  const long n = f.entries;
  std::printf("\n%s SFV entries (%ld files present, %ld markers once arrived)\n",
              size_label(n).c_str(), (n + 1) / 2, n / 2);
  std::printf("  %-34s %9s %9s %9s %9s %9s\n", "", "fastest", "median", "least", "in kernel",
              "peak");
  std::printf("  %-34s %9s %9s %9s %9s %9s\n", "", "wall ms", "wall ms", "CPU ms", "of CPU", "KiB");
  print_row("floor: list directory + read SFV", f.list_floor, false);
  print_row("  the same, a process of its own", f.floor_process, true);
  print_row("  a process of its own doing nothing", f.idle_process, true);
  print_row("kuvo --version (spawning)", f.spawn, true);
  print_row("single-file check", f.check, true);
  print_row("single-file check -G", f.check_g, true);
  print_row("  the same, directory still 60 ms", f.still_check, true);
  print_row("  the same with -G", f.still_check_g, true);
  print_row("floor: create the markers alone", f.marker_floor, false);
  print_row("SFV arrival", f.arrival, true);

  std::printf("  Against the floor, run / floor:\n");
  print_ratio("single-file check", f.check, f.list_floor);
  print_ratio("single-file check -G", f.check_g, f.list_floor);
  print_ratio("  directory still", f.still_check, f.list_floor);
  print_ratio("  directory still, -G", f.still_check_g, f.list_floor);
  print_ratio("SFV arrival / markers alone", f.arrival, f.marker_floor);
  std::printf("  Without spawning, (run - kuvo --version) / floor:\n");
  print_ratio_without("single-file check", f.check, f.spawn, f.list_floor);
  print_ratio_without("single-file check -G", f.check_g, f.spawn, f.list_floor);
  print_ratio_without("  directory still", f.still_check, f.spawn, f.list_floor);
  print_ratio_without("  directory still, -G", f.still_check_g, f.spawn, f.list_floor);
  print_ratio_without("SFV arrival / markers alone", f.arrival, f.spawn, f.marker_floor);
  // The floor as a run meets it: what doing it adds to a fresh process.
  const double fresh_floor = f.floor_process.fastest() - f.idle_process.fastest();
  std::printf("  The floor in a fresh process, (own process - doing nothing) / floor: wall %.2f\n",
              fresh_floor / f.list_floor.fastest());
  std::printf(
      "  Without spawning, against that: (check - kuvo --version) / it: wall %.2f, -G %.2f\n",
      (f.check.fastest() - f.spawn.fastest()) / fresh_floor,
      (f.check_g.fastest() - f.spawn.fastest()) / fresh_floor);
  // What the memory a run fills costs it, page by page.
  const double page_ms =
      (f.touch_process.fastest() - f.idle_process.fastest()) * 1e3 / kTouchedPages;
  const long check_pages = f.check.page_faults - f.spawn.page_faults;
  std::printf(
      "  A fresh page, filled by a process of its own: %.1f us. Page faults: kuvo --version %ld,"
      " check %ld, floor in its own process %ld above doing nothing;\n"
      "  the check's %ld pages above kuvo --version come to about %.1f ms\n",
      page_ms * 1e3, f.spawn.page_faults, f.check.page_faults,
      f.floor_process.page_faults - f.idle_process.page_faults, check_pages,
      static_cast<double>(check_pages) * page_ms);
  // Peak memory above a trivial run's, per SFV entry plus directory entry.
  const double entries = static_cast<double>(n) + static_cast<double>(n + 1);
  auto per_entry = [&](const Series& series) {
    return static_cast<double>(series.max_rss_kb - f.spawn.max_rss_kb) * 1024 / entries;
  };
  std::printf(
      "  peak memory above kuvo --version, per SFV and directory entry: check %.0f B "
      "(directory still %.0f B), arrival %.0f B\n",
      per_entry(f.check), per_entry(f.still_check), per_entry(f.arrival));
  for (const auto& [kind, counts] : f.syscalls) {
    std::printf("  system calls, %s: %ld (", kind.c_str(), counts.at("total"));
    std::vector<std::pair<long, std::string>> by_count;
    for (const auto& [name, count] : counts) {
      if (name != "total") by_count.emplace_back(count, name);
    }
    std::sort(by_count.rbegin(), by_count.rend());
    for (std::size_t i = 0; i < by_count.size() && i < 5; ++i) {
      std::printf("%s%s %ld", i == 0 ? "" : ", ", by_count[i].second.c_str(), by_count[i].first);
    }
    std::printf("%s)\n", by_count.size() > 5 ? ", ..." : "");
  }
}

// Growth between two sizes as an exponent: 1 is linear, 2 quadratic.
void print_growth(const SizeFigures& low, const SizeFigures& high) {
  const double doublings =
      std::log2(static_cast<double>(high.entries) / static_cast<double>(low.entries));
  auto exponent = [&](const Series& a, const Series& b) {
    return std::log2(b.fastest() / a.fastest()) / doublings;
  };
  auto cpu_exponent = [&](const Series& a, const Series& b) {
    return std::log2(Series::least(b.cpu_seconds) / Series::least(a.cpu_seconds)) / doublings;
  };
  std::printf("\nGrowth from %s to %s entries, log2(t2 / t1) / log2(n2 / n1), fastest rounds:\n",
              size_label(low.entries).c_str(), size_label(high.entries).c_str());
  std::printf("  single-file check %.2f (CPU %.2f), with -G %.2f (CPU %.2f)\n",
              exponent(low.check, high.check), cpu_exponent(low.check, high.check),
              exponent(low.check_g, high.check_g), cpu_exponent(low.check_g, high.check_g));
  std::printf("  the same, directory still: %.2f (CPU %.2f), with -G %.2f (CPU %.2f)\n",
              exponent(low.still_check, high.still_check),
              cpu_exponent(low.still_check, high.still_check),
              exponent(low.still_check_g, high.still_check_g),
              cpu_exponent(low.still_check_g, high.still_check_g));
  std::printf("  SFV arrival %.2f (CPU %.2f)\n", exponent(low.arrival, high.arrival),
              cpu_exponent(low.arrival, high.arrival));
  std::printf("  floors: list + read %.2f, markers alone %.2f\n",
              exponent(low.list_floor, high.list_floor),
              exponent(low.marker_floor, high.marker_floor));
  const double entries_between = 2.0 * static_cast<double>(high.entries - low.entries);
  auto per_entry = [&](const Series& a, const Series& b) {
    return static_cast<double>(b.max_rss_kb - a.max_rss_kb) * 1024 / entries_between;
  };
  std::printf(
      "  peak memory per SFV and directory entry between them: check %.0f B (directory still "
      "%.0f B), arrival %.0f B\n",
      per_entry(low.check, high.check), per_entry(low.still_check, high.still_check),
      per_entry(low.arrival, high.arrival));
}

std::vector<long> parse_sizes(const std::string& text) {
  std::vector<long> sizes;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    char* end = nullptr;
    const long n = std::strtol(item.c_str(), &end, 10);
    if (n < 2 || end == item.c_str() || *end != 0) fail("bad size " + item);
    sizes.push_back(n);
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  // This program started again by itself, as a run of the floor's work alone.
  if (argc == 2 && std::strcmp(argv[1], "--idle-run") == 0) return 0;
  if (argc == 2 && std::strcmp(argv[1], "--touch-run") == 0) return touch_fresh_pages();
  if (argc == 2 && std::strcmp(argv[1], "--floor-run") == 0) {
    const char* dir = std::getenv("KUVO_DIR");
    return dir != nullptr && list_and_read_release(dir) > 0 ? 0 : 1;
  }
  std::vector<long> sizes = {16000, 64000};
  int rounds = 15;
  bool trace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--sizes=")) {
      sizes = parse_sizes(arg.substr(8));
    } else if (arg.starts_with("--rounds=")) {
      rounds = std::max(1, std::atoi(arg.c_str() + 9));
    } else if (arg == "--strace") {
      trace = true;
    } else if (arg.starts_with("--kuvo=")) {
      kuvo_path = fs::absolute(arg.substr(7));
    } else {
      std::fprintf(stderr,
                   "usage: release_bench [--sizes=N,N,...] [--rounds=R] [--strace] [--kuvo=PATH]\n"
                   "  releases go under TMPDIR (a RAM-backed one such as /dev/shm measures kuvo\n"
                   "  rather than the disk)\n");
      return 2;
    }
  }
  kuvo_binary();            // the launcher needs to know it
  Launcher small_launcher;  // before anything grows
  launcher = &small_launcher;
  std::vector<SizeFigures> figures;
  for (long n : sizes) {
    figures.push_back(measure(n, rounds, trace));
    print_size(figures.back());
    std::fflush(stdout);
  }
  for (std::size_t i = 1; i < figures.size(); ++i) print_growth(figures[i - 1], figures[i]);
  return 0;
}
