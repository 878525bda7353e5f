// How kuvo's cost grows with the size of a release. The whole-process figures
// run the kuvo executable as an upload server does, in a fresh release
// directory of N tiny files (every other one present) listed by one SFV file:
// SFV arrival, and the single-file check of one small file. The in-process
// figures time the marker lookups of one arrival (file and marker per SFV
// entry) through the index and through the plain walk, the walk only while it
// stays affordable. After the table comes the growth exponent between 16k and
// 64k entries, log2(t64k / t16k) / 2: 1 is linear, 2 quadratic.
//
//   cmake --preset bench && cmake --build build/bench && build/bench/release_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "crc/crc32.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kuvo::NameEntry;
using kuvo::NameList;
using kuvo::SfvEntry;
using kuvo::SfvList;

constexpr const char* kSfvName = "release.sfv";

std::string entry_name(long i) {
  char name[64];
  std::snprintf(name, sizeof name, "Some_Artist-Some_Album-Track_%06ld.rar", i);
  return name;
}

std::string entry_contents(long i) { return std::to_string(i) + "\n"; }

std::uint32_t crc_of(const std::string& text) {
  return kuvo::crc32_update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void write_file(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// A fresh release directory of `entries` SFV entries whose even-numbered files
// are present; removed with everything in it when the object goes away.
class Release {
 public:
  explicit Release(long entries) {
    std::string pattern = (fs::temp_directory_path() / "kuvo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
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

 private:
  fs::path dir_;
};

struct ChildRun {
  double seconds = 0;      // wall time from spawn to reaping
  double cpu_seconds = 0;  // the child's user and system time
  long max_rss_kb = 0;
  int status = -1;  // exit status, -1 when the process did not exit normally
};

fs::path kuvo_binary() { return fs::read_symlink("/proc/self/exe").parent_path() / "kuvo"; }

// Runs kuvo for the upload of `file` into the release directory `dir`,
// console output discarded.
ChildRun spawn_kuvo(const std::string& dir, const std::string& file) {
  const std::string binary = kuvo_binary().string();
  std::string env_file = "KUVO_FILE=" + file;
  std::string env_dir = "KUVO_DIR=" + dir;
  char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
  char* envp[] = {env_file.data(), env_dir.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

  ChildRun run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, envp) == 0) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid) {
      run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      run.max_rss_kb = usage.ru_maxrss;
      if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    }
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

// A child made by vfork or fork is charged its parent's resident pages until
// it execs, so spawning from the benchmark, grown by its releases, would
// inflate kuvo's peak memory. A small helper, forked before anything grows,
// spawns every kuvo run instead; requests are "dir\0file\0", replies a ChildRun.
class Launcher {
 public:
  Launcher() {
    int requests[2];
    int replies[2];
    if (pipe(requests) != 0 || pipe(replies) != 0) std::abort();
    pid_ = fork();
    if (pid_ < 0) std::abort();
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

  ChildRun run(const std::string& dir, const std::string& file) {
    std::string request = dir + '\0' + file + '\0';
    ChildRun run;
    if (write(requests_, request.data(), request.size()) != static_cast<ssize_t>(request.size()) ||
        read(replies_, &run, sizeof run) != static_cast<ssize_t>(sizeof run)) {
      std::abort();
    }
    return run;
  }

 private:
  static void serve(int requests, int replies) {
    std::FILE* in = fdopen(requests, "r");
    char* text = nullptr;
    std::size_t capacity = 0;
    for (;;) {
      if (getdelim(&text, &capacity, '\0', in) <= 0) break;
      const std::string dir = text;
      if (getdelim(&text, &capacity, '\0', in) <= 0) break;
      const ChildRun run = spawn_kuvo(dir, text);
      if (write(replies, &run, sizeof run) != static_cast<ssize_t>(sizeof run)) break;
    }
    std::free(text);
  }

  pid_t pid_ = -1;
  int requests_ = -1;
  int replies_ = -1;
};

Launcher* launcher = nullptr;

ChildRun run_kuvo(const Release& release, const std::string& file) {
  return launcher->run(release.dir().string(), file);
}

// Wall and CPU time of the runs, and the largest peak memory of any run.
void record(benchmark::State& state, const ChildRun& run, double& cpu_seconds, long& max_rss_kb) {
  state.SetIterationTime(run.seconds);
  cpu_seconds += run.cpu_seconds;
  max_rss_kb = std::max(max_rss_kb, run.max_rss_kb);
}

void report(benchmark::State& state, double cpu_seconds, long max_rss_kb) {
  state.counters["child_cpu_ms"] =
      benchmark::Counter(cpu_seconds * 1e3 / static_cast<double>(state.iterations()));
  state.counters["maxrss_kB"] = static_cast<double>(max_rss_kb);
}

void BM_SfvArrival(benchmark::State& state) {
  const long entries = state.range(0);
  double cpu_seconds = 0;
  long max_rss_kb = 0;
  for (auto _ : state) {
    Release release(entries);
    const ChildRun run = run_kuvo(release, kSfvName);
    if (run.status != 0) state.SkipWithError("SFV arrival did not exit with 0");
    record(state, run, cpu_seconds, max_rss_kb);
  }
  report(state, cpu_seconds, max_rss_kb);
}

// The floor under SFV arrival: creating its empty markers, one open and close
// each, in a release of the same shape and with nothing else. How long a file
// system takes to create files varies with its state, on some disks by more
// than kuvo's own work, so arrival is best read against this.
void BM_CreateMarkersAlone(benchmark::State& state) {
  const long entries = state.range(0);
  for (auto _ : state) {
    Release release(entries);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 1; i < entries; i += 2) {
      const std::string marker = (release.dir() / (entry_name(i) + "-missing")).string();
      int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) state.SkipWithError("cannot create a marker");
      close(fd);
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

// A release after its SFV's arrival, shared by the repetitions of one size:
// building it costs far more than the checks. Each check uploads another
// absent file, so every run clears one marker.
struct ArrivedRelease {
  explicit ArrivedRelease(long entries)
      : entries(entries), release(entries), arrived(run_kuvo(release, kSfvName).status == 0) {}
  long entries;
  Release release;
  bool arrived;
  long next_absent = 1;
};

std::unique_ptr<ArrivedRelease> arrived_release;

void BM_SingleFileCheck(benchmark::State& state) {
  const long entries = state.range(0);
  if (!arrived_release || arrived_release->entries != entries) {
    arrived_release.reset();  // the release of another size is done with
    arrived_release = std::make_unique<ArrivedRelease>(entries);
  }
  ArrivedRelease& arrived = *arrived_release;
  if (!arrived.arrived) state.SkipWithError("SFV arrival failed");
  double cpu_seconds = 0;
  long max_rss_kb = 0;
  for (auto _ : state) {
    const std::string name = entry_name(arrived.next_absent);
    write_file(arrived.release.dir() / name, entry_contents(arrived.next_absent));
    arrived.next_absent += 2;
    const ChildRun run = run_kuvo(arrived.release, name);
    if (run.status != 2) state.SkipWithError("single-file check did not exit with 2");
    record(state, run, cpu_seconds, max_rss_kb);
  }
  report(state, cpu_seconds, max_rss_kb);
}

// The lists that SFV arrival looks names up in: the SFV's entries, and a
// listing holding every other file and the markers of the rest.
struct ArrivalLists {
  SfvList sfv;
  NameList listing;
};

ArrivalLists arrival_lists(long entries) {
  ArrivalLists lists;
  for (long i = entries - 1; i >= 0; --i) {
    lists.sfv.push_back(SfvEntry{entry_name(i), 0});
    lists.listing.push_back(NameEntry{entry_name(i) + (i % 2 == 0 ? "" : "-missing")});
  }
  lists.listing.push_back(NameEntry{"*"});
  return lists;
}

void BM_MarkerLookupsIndexed(benchmark::State& state) {
  const ArrivalLists lists = arrival_lists(state.range(0));
  for (auto _ : state) {
    const kuvo::NameIndex index = kuvo::index_name_list(lists.listing);
    long found = 0;
    for (const SfvEntry& entry : lists.sfv) {
      found += kuvo::find_listed_name(index, entry.file_name) != nullptr;
      found += kuvo::find_listed_name(index, entry.file_name + "-missing") != nullptr;
    }
    benchmark::DoNotOptimize(found);
  }
}

void BM_MarkerLookupsPlainWalk(benchmark::State& state) {
  const ArrivalLists lists = arrival_lists(state.range(0));
  for (auto _ : state) {
    long found = 0;
    for (const SfvEntry& entry : lists.sfv) {
      found += kuvo::find_listed_name(lists.listing, entry.file_name) != nullptr;
      found += kuvo::find_listed_name(lists.listing, entry.file_name + "-missing") != nullptr;
    }
    benchmark::DoNotOptimize(found);
  }
}

// Passes everything on to the console and keeps each benchmark's fastest
// repetition, wall time per iteration and the child's CPU time, for the growth
// exponents printed at the end. On a shared machine other work only ever adds
// time, so the fastest repetition is the best estimate of kuvo's own cost, and
// CPU time shows the trend even when waiting stretches the wall time.
class GrowthReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "min") continue;
      const std::string family = run.run_name.function_name;
      const std::string n = run.run_name.args;
      wall_[family][n] = run.GetAdjustedRealTime();
      if (auto cpu = run.counters.find("child_cpu_ms"); cpu != run.counters.end())
        cpu_[family][n] = cpu->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nGrowth exponent log2(t(64k) / t(16k)) / 2 from the fastest repetitions (1 = linear):\n");
    for (const char* family : {"BM_SfvArrival", "BM_SingleFileCheck"}) {
      std::printf("  %-24s wall %.2f  child CPU %.2f\n", family,
                  exponent(wall_, family, "16000", "64000"),
                  exponent(cpu_, family, "16000", "64000"));
    }
    std::printf("  %-24s wall %.2f\n", "BM_CreateMarkersAlone",
                exponent(wall_, "BM_CreateMarkersAlone", "16000", "64000"));
    std::printf("  %-24s %.2f\n", "BM_MarkerLookupsIndexed",
                exponent(wall_, "BM_MarkerLookupsIndexed", "16000", "64000"));
    for (const char* n : {"16000", "64000"}) {
      std::printf("SFV arrival / creating its markers alone at %s: %.2f\n", n,
                  wall_["BM_SfvArrival"][n] / wall_["BM_CreateMarkersAlone"][n]);
    }
    std::printf(
        "Plain walk: exponent 1k to 4k %.2f; t(walk) / t(index) at 4k: %.0f\n",
        exponent(wall_, "BM_MarkerLookupsPlainWalk", "1000", "4000"),
        wall_["BM_MarkerLookupsPlainWalk"]["4000"] / wall_["BM_MarkerLookupsIndexed"]["4000"]);
  }

 private:
  using Fastest = std::map<std::string, std::map<std::string, double>>;

  static double exponent(Fastest& fastest, const std::string& family, const std::string& low,
                         const std::string& high) {
    const double doublings = std::log2(std::stod(high) / std::stod(low));
    return std::log2(fastest[family][high] / fastest[family][low]) / doublings;
  }

  Fastest wall_;
  Fastest cpu_;
};

double fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

void register_benchmarks() {
  const long kSizes[] = {1000, 2000, 4000, 8000, 16000, 32000, 64000};
  // Arrival and its floor alternate, so that both meet the file system alike.
  for (long n : kSizes) {
    using Function = void (*)(benchmark::State&);
    const std::pair<const char*, Function> arrival_and_floor[] = {
        {"BM_SfvArrival", BM_SfvArrival}, {"BM_CreateMarkersAlone", BM_CreateMarkersAlone}};
    for (auto [name, function] : arrival_and_floor) {
      benchmark::RegisterBenchmark(name, function)
          ->Arg(n)
          ->UseManualTime()
          ->Iterations(n >= 16000 ? 3 : 8)
          ->Repetitions(3)
          ->ComputeStatistics("min", fastest)
          ->ReportAggregatesOnly()
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (long n : kSizes) {
    benchmark::RegisterBenchmark("BM_SingleFileCheck", BM_SingleFileCheck)
        ->Arg(n)
        ->UseManualTime()
        ->Iterations(10)
        ->Repetitions(5)
        ->ComputeStatistics("min", fastest)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
  for (long n : kSizes) {
    benchmark::RegisterBenchmark("BM_MarkerLookupsIndexed", BM_MarkerLookupsIndexed)
        ->Arg(n)
        ->Repetitions(3)
        ->ComputeStatistics("min", fastest)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
  for (long n : {1000, 2000, 4000}) {
    benchmark::RegisterBenchmark("BM_MarkerLookupsPlainWalk", BM_MarkerLookupsPlainWalk)
        ->Arg(n)
        ->Iterations(1)
        ->Repetitions(3)
        ->ComputeStatistics("min", fastest)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Launcher small_launcher;
  launcher = &small_launcher;
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  arrived_release.reset();
  benchmark::Shutdown();
  return 0;
}
