// How fast each CRC-32 kernel runs, and what the checksum costs on top of
// reading a page-cached file. Whole-file figures are ratios to a plain read
// loop timed right before each pass, so a busy machine slows both alike.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crc/crc32.h"
#include "crc/crc32_reference.h"
#include "crc/crc32_kernels.h"

#if defined(KUVO_BENCH_ZLIB)
#include <zlib.h>
#endif

namespace {

using kuvo::Crc32Function;

constexpr std::size_t kPlainBufferSize = 65536;
constexpr std::int64_t kFileSize = std::int64_t{1} << 30;

std::vector<unsigned char> random_bytes(std::size_t size) {
  std::mt19937_64 generator(42);
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t word = generator();
    std::copy_n(reinterpret_cast<const unsigned char*>(&word), 8, bytes.begin() + i);
  }
  return bytes;
}

#if defined(KUVO_BENCH_ZLIB)
std::uint32_t zlib_crc32(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}
#endif

void kernel_throughput(benchmark::State& state, Crc32Function update) {
  std::vector<unsigned char> data = random_bytes(static_cast<std::size_t>(state.range(0)));
  std::uint32_t crc = 0;
  for (auto _ : state) {
    crc = update(crc, data.data(), data.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The 1 GiB test file: created once, unlinked at once so that nothing is left
// behind, kept open and read from the page cache by every pass.
int big_file() {
  static const int fd = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kuvo-crc32-bench-XXXXXX";
    int created = mkstemp(path.data());
    if (created < 0) {
      std::perror("mkstemp");
      std::exit(1);
    }
    unlink(path.c_str());
    std::vector<unsigned char> chunk = random_bytes(1 << 20);
    for (std::int64_t done = 0; done < kFileSize; done += chunk.size()) {
      if (write(created, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
        std::perror("write");
        std::exit(1);
      }
      chunk[done % 4096] ^= 0x5A;  // no two megabytes alike
    }
    return created;
  }();
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// Reads the file to its end through a 64 KiB buffer, with `update` (if any)
// over each piece: the baseline and the byte-loop and zlib rivals.
std::uint32_t read_loop(int fd, Crc32Function update) {
  static std::vector<unsigned char> buffer(kPlainBufferSize);
  std::uint32_t crc = 0;
  for (;;) {
    ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got <= 0) return crc;
    if (update) crc = update(crc, buffer.data(), static_cast<std::size_t>(got));
  }
}

// The time one pass takes: on the processor (user and system, the kernel's copy
// included), which other jobs on a shared machine disturb far less than the
// wall clock; and on the wall clock.
struct PassTime {
  double cpu;
  double wall;
};

double cpu_now() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

PassTime time_pass(const std::function<void()>& pass) {
  double cpu_start = cpu_now();
  auto wall_start = std::chrono::steady_clock::now();
  pass();
  double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  return {cpu_now() - cpu_start, wall};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Median processor time of each whole-file candidate relative to the plain read loop.
std::map<std::string, double> ratio_to_plain;

void whole_file(benchmark::State& state, const std::string& name,
                const std::function<std::uint32_t(int)>& candidate) {
  read_loop(big_file(), nullptr);  // into the page cache
  std::vector<double> cpu_ratios;
  std::vector<double> wall_ratios;
  for (auto _ : state) {
    PassTime plain = time_pass([] { read_loop(big_file(), nullptr); });
    std::uint32_t crc = 0;
    PassTime measured = time_pass([&] { crc = candidate(big_file()); });
    benchmark::DoNotOptimize(crc);
    state.SetIterationTime(measured.cpu);
    cpu_ratios.push_back(measured.cpu / plain.cpu);
    wall_ratios.push_back(measured.wall / plain.wall);
  }
  ratio_to_plain[name] = median(cpu_ratios);
  state.counters["x_plain_cpu"] = median(cpu_ratios);
  state.counters["x_plain_wall"] = median(wall_ratios);
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void register_benchmarks() {
  std::vector<kuvo::Crc32Kernel> kernels = kuvo::available_crc32_kernels();
  kernels.insert(kernels.begin(), {"bytewise", kuvo::crc32_bytewise});
#if defined(KUVO_BENCH_ZLIB)
  kernels.push_back({"zlib", zlib_crc32});
#endif
  for (const kuvo::Crc32Kernel& kernel : kernels) {
    benchmark::RegisterBenchmark((std::string("kernel/") + kernel.name).c_str(), kernel_throughput,
                                 kernel.update)
        ->Arg(32 << 10)   // in the first-level cache
        ->Arg(64 << 20);  // far beyond the last-level cache
  }

  auto file = [](const std::string& name, int passes, std::function<std::uint32_t(int)> candidate) {
    benchmark::RegisterBenchmark(("file/" + name).c_str(), whole_file, name, candidate)
        ->Iterations(passes)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  file("plain_read_64K", 9, [](int fd) { return read_loop(fd, nullptr); });
  file("crc32_of_descriptor", 15, [](int fd) { return *kuvo::crc32_of_descriptor(fd); });
  const Crc32Function chosen = kuvo::available_crc32_kernels().back().update;
  for (std::size_t size : {64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20}) {
    file("buffer_" + std::to_string(size >> 10) + "K", 9,
         [size, chosen](int fd) { return *kuvo::crc32_of_descriptor_with(fd, size, chosen); });
  }
  // What CPUs without the wider kernels get.
  for (const kuvo::Crc32Kernel& kernel : kuvo::available_crc32_kernels()) {
    file(std::string("kernel_") + kernel.name, 5, [update = kernel.update](int fd) {
      return *kuvo::crc32_of_descriptor_with(fd, kuvo::kCrc32ReadBufferSize, update);
    });
  }
  file("byte_loop_64K", 3, [](int fd) { return read_loop(fd, kuvo::crc32_bytewise); });
#if defined(KUVO_BENCH_ZLIB)
  file("zlib_64K", 5, [](int fd) { return read_loop(fd, zlib_crc32); });
#endif
}

void print_summary() {
  auto ratio = [](const char* name) {
    auto found = ratio_to_plain.find(name);
    return found == ratio_to_plain.end() ? 0.0 : found->second;
  };
  double ours = ratio("crc32_of_descriptor");
  if (ours == 0) return;
  std::printf(
      "\nWhole 1 GiB page-cached file, median time relative to a plain 64 KiB read loop:\n");
  for (const auto& [name, value] : ratio_to_plain)
    std::printf("  %-26s %6.2f\n", name.c_str(), value);
  std::printf("crc32_of_descriptor / plain read loop: %.2f (goal: at most 1.3)\n", ours);
  if (double bytes = ratio("byte_loop_64K"); bytes > 0)
    std::printf("byte loop / crc32_of_descriptor:       %.1f (goal: at least 20)\n", bytes / ours);
  if (double zlib = ratio("zlib_64K"); zlib > 0)
    std::printf("zlib crc32 / crc32_of_descriptor:      %.2f (goal: above 1)\n", zlib / ours);
}

}  // namespace

int main(int argc, char** argv) {
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  return 0;
}
