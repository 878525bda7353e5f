// The pieces of a large release's run, in this process: reading its SFV,
// listing its directory, indexing both, and the lookups of one SFV arrival
// (file and marker per SFV entry) through the index and, while it stays
// affordable, through the plain walk. The release is the one release_bench
// uses after its SFV's arrival: N SFV entries, every other file present and a
// marker for each of the rest.
//
//   cmake --preset bench && cmake --build --preset bench
//   TMPDIR=/dev/shm build/bench/fileset_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"
#include "fileset/sfv_reader.h"

namespace {

namespace fs = std::filesystem;

std::string entry_name(long i) {
  char name[64];
  std::snprintf(name, sizeof name, "Some_Artist-Some_Album-Track_%07ld.rar", i);
  return name;
}

void write_file(const fs::path& path, const std::string& contents) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 ||
      write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
    std::abort();
  close(fd);
}

// A release directory after its SFV's arrival, one per size for the whole run.
class ArrivedRelease {
 public:
  explicit ArrivedRelease(long entries) {
    std::string pattern = (fs::temp_directory_path() / "kuvo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    std::string sfv;
    for (long i = 0; i < entries; ++i) {
      sfv += entry_name(i) + " 0123abcd\r\n";
      write_file(dir_ / (entry_name(i) + (i % 2 == 0 ? "" : "-missing")), "");
    }
    write_file(dir_ / "release.sfv", sfv);
  }
  ~ArrivedRelease() { fs::remove_all(dir_); }
  ArrivedRelease(const ArrivedRelease&) = delete;
  ArrivedRelease& operator=(const ArrivedRelease&) = delete;

  std::string dir() const { return dir_.string(); }
  std::string sfv() const { return (dir_ / "release.sfv").string(); }

 private:
  fs::path dir_;
};

const ArrivedRelease& release_of(long entries) {
  static std::map<long, std::unique_ptr<ArrivedRelease>> releases;
  auto& release = releases[entries];
  if (!release) release = std::make_unique<ArrivedRelease>(entries);
  return *release;
}

void BM_LoadSfv(benchmark::State& state) {
  const ArrivedRelease& release = release_of(state.range(0));
  for (auto _ : state) {
    kuvo::SfvList list = kuvo::load_sfv(release.sfv());
    if (list.size() != static_cast<std::size_t>(state.range(0))) state.SkipWithError("short");
    benchmark::DoNotOptimize(list);
  }
}

void BM_ScanDirectory(benchmark::State& state) {
  const ArrivedRelease& release = release_of(state.range(0));
  for (auto _ : state) {
    kuvo::NameList list = kuvo::scan_directory(release.dir());
    if (!list.readable()) state.SkipWithError("unreadable");
    benchmark::DoNotOptimize(list);
  }
}

void BM_IndexSfvList(benchmark::State& state) {
  const kuvo::SfvList list = kuvo::load_sfv(release_of(state.range(0)).sfv());
  for (auto _ : state) {
    kuvo::SfvIndex index = kuvo::index_sfv_list(list);
    benchmark::DoNotOptimize(index);
  }
}

void BM_IndexNameList(benchmark::State& state) {
  const kuvo::NameList list = kuvo::scan_directory(release_of(state.range(0)).dir());
  for (auto _ : state) {
    kuvo::NameIndex index = kuvo::index_name_list(list);
    benchmark::DoNotOptimize(index);
  }
}

// Looks up every SFV entry's file and marker with `find`; returns how many
// were found.
template <typename Find>
long arrival_lookups(const kuvo::SfvList& sfv, Find find) {
  long found = 0;
  for (const kuvo::SfvEntry entry : sfv) {
    found += find(entry.file_name).has_value();
    found += find(std::string(entry.file_name) + "-missing").has_value();
  }
  return found;
}

// The lookups of one arrival, index built included.
void BM_MarkerLookupsIndexed(benchmark::State& state) {
  const ArrivedRelease& release = release_of(state.range(0));
  const kuvo::SfvList sfv = kuvo::load_sfv(release.sfv());
  const kuvo::NameList listing = kuvo::scan_directory(release.dir());
  for (auto _ : state) {
    const kuvo::NameIndex index = kuvo::index_name_list(listing);
    const long found = arrival_lookups(
        sfv, [&](std::string_view name) { return kuvo::find_listed_name(index, name); });
    if (found != state.range(0)) state.SkipWithError("lookups missed");
  }
}

void BM_MarkerLookupsPlainWalk(benchmark::State& state) {
  const ArrivedRelease& release = release_of(state.range(0));
  const kuvo::SfvList sfv = kuvo::load_sfv(release.sfv());
  const kuvo::NameList listing = kuvo::scan_directory(release.dir());
  for (auto _ : state) {
    const long found = arrival_lookups(
        sfv, [&](std::string_view name) { return kuvo::find_listed_name(listing, name); });
    if (found != state.range(0)) state.SkipWithError("lookups missed");
  }
}

void register_benchmarks() {
  using Function = void (*)(benchmark::State&);
  const std::pair<const char*, Function> in_step_order[] = {
      {"BM_LoadSfv", BM_LoadSfv},
      {"BM_ScanDirectory", BM_ScanDirectory},
      {"BM_IndexSfvList", BM_IndexSfvList},
      {"BM_IndexNameList", BM_IndexNameList},
      {"BM_MarkerLookupsIndexed", BM_MarkerLookupsIndexed}};
  for (auto [name, function] : in_step_order) {
    for (long n : {1000, 16000, 64000}) {
      benchmark::RegisterBenchmark(name, function)->Arg(n)->Unit(benchmark::kMillisecond);
    }
  }
  for (long n : {1000, 4000}) {
    benchmark::RegisterBenchmark("BM_MarkerLookupsPlainWalk", BM_MarkerLookupsPlainWalk)
        ->Arg(n)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
