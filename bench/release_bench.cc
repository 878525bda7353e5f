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
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fileset/crc32.h"
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
  double seconds = 0;
  long max_rss_kb = 0;
  int status = -1;  // exit status, -1 when the process did not exit normally
};

fs::path kuvo_binary() { return fs::read_symlink("/proc/self/exe").parent_path() / "kuvo"; }

// Runs kuvo for the upload of `file` into `release`, console output discarded,
// timing it from spawn to reaping.
ChildRun run_kuvo(const Release& release, const std::string& file) {
  const std::string binary = kuvo_binary().string();
  std::string env_file = "KUVO_FILE=" + file;
  std::string env_dir = "KUVO_DIR=" + release.dir().string();
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
      run.max_rss_kb = usage.ru_maxrss;
      if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    }
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

void BM_SfvArrival(benchmark::State& state) {
  const long entries = state.range(0);
  long max_rss_kb = 0;
  for (auto _ : state) {
    Release release(entries);
    const ChildRun run = run_kuvo(release, kSfvName);
    if (run.status != 0) state.SkipWithError("SFV arrival did not exit with 0");
    state.SetIterationTime(run.seconds);
    max_rss_kb = std::max(max_rss_kb, run.max_rss_kb);
  }
  state.counters["maxrss_kB"] = static_cast<double>(max_rss_kb);
}

void BM_SingleFileCheck(benchmark::State& state) {
  const long entries = state.range(0);
  Release release(entries);
  if (run_kuvo(release, kSfvName).status != 0) state.SkipWithError("SFV arrival failed");
  long max_rss_kb = 0;
  long next_absent = 1;
  for (auto _ : state) {
    // Each check uploads another absent file, so every run clears one marker.
    const std::string name = entry_name(next_absent);
    write_file(release.dir() / name, entry_contents(next_absent));
    next_absent += 2;
    const ChildRun run = run_kuvo(release, name);
    if (run.status != 2) state.SkipWithError("single-file check did not exit with 2");
    state.SetIterationTime(run.seconds);
    max_rss_kb = std::max(max_rss_kb, run.max_rss_kb);
  }
  state.counters["maxrss_kB"] = static_cast<double>(max_rss_kb);
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

// Passes everything on to the console and keeps each benchmark's median wall
// time per iteration, for the growth exponents printed at the end.
class GrowthReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians_[run.run_name.str()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nGrowth exponent, log2(t(64k) / t(16k)) / 2, from medians:\n");
    for (const char* family : {"BM_SfvArrival", "BM_SingleFileCheck", "BM_MarkerLookupsIndexed"})
      print_exponent(family, "16000", "64000", 2);
    std::printf("Plain walk against index, same lookups, t(walk) / t(index) at 4k: %.1f\n",
                ratio("BM_MarkerLookupsPlainWalk/4000", "BM_MarkerLookupsIndexed/4000"));
    std::printf("Plain walk growth exponent, log2(t(4k) / t(1k)) / 2: %.2f\n",
                exponent("BM_MarkerLookupsPlainWalk/1000", "BM_MarkerLookupsPlainWalk/4000", 2));
  }

 private:
  double time_of(const std::string& name) const {
    for (const auto& [run_name, time] : medians_) {
      if (run_name.rfind(name + "/", 0) == 0 || run_name == name) return time;
    }
    return NAN;
  }
  double ratio(const std::string& a, const std::string& b) const { return time_of(a) / time_of(b); }
  double exponent(const std::string& low, const std::string& high, int doublings) const {
    return std::log2(ratio(high, low)) / doublings;
  }
  void print_exponent(const std::string& family, const char* low, const char* high, int doublings) {
    std::printf("  %-26s %.2f\n", family.c_str(),
                exponent(family + "/" + low, family + "/" + high, doublings));
  }

  std::map<std::string, double> medians_;
};

void register_benchmarks() {
  const long kSizes[] = {1000, 2000, 4000, 8000, 16000, 32000, 64000};
  for (long n : kSizes) {
    benchmark::RegisterBenchmark("BM_SfvArrival", BM_SfvArrival)
        ->Arg(n)
        ->UseManualTime()
        ->Iterations(n >= 16000 ? 3 : 8)
        ->Repetitions(3)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
  for (long n : kSizes) {
    benchmark::RegisterBenchmark("BM_SingleFileCheck", BM_SingleFileCheck)
        ->Arg(n)
        ->UseManualTime()
        ->Iterations(10)
        ->Repetitions(3)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
  for (long n : kSizes) {
    benchmark::RegisterBenchmark("BM_MarkerLookupsIndexed", BM_MarkerLookupsIndexed)
        ->Arg(n)
        ->Repetitions(3)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
  for (long n : {1000, 2000, 4000}) {
    benchmark::RegisterBenchmark("BM_MarkerLookupsPlainWalk", BM_MarkerLookupsPlainWalk)
        ->Arg(n)
        ->Iterations(1)
        ->Repetitions(3)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  GrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
