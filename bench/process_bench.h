// What the benchmarks of whole kuvo runs share: a scratch release of
// pseudo-random files in the page cache, timed runs of whole programs with a
// bare environment, and the rows and ratios they print. Each benchmark is a
// program of its own that includes this once.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crc/crc32.h"

namespace kuvo_bench {

namespace fs = std::filesystem;

constexpr const char* kSfvName = "release.sfv";
constexpr std::size_t kReadBuffer = 256 * 1024;  // the size kuvo reads through

// The scratch directory, removed by leave() on every way out.
inline fs::path scratch;
inline volatile std::sig_atomic_t interrupted = 0;

[[noreturn]] inline void leave(int status) {
  if (!scratch.empty()) {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }
  std::exit(status);
}

[[noreturn]] inline void fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
  leave(1);
}

// A 2 GiB release left behind in /dev/shm would hold that much memory until
// the next reboot, so an interrupt stops at the next file or run and cleans up.
inline void on_interrupt(int) { interrupted = 1; }

inline void stop_if_interrupted() {
  if (!interrupted) return;
  std::fprintf(stderr, "%s: interrupted\n", program_invocation_short_name);
  leave(130);
}

inline long setting(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > 1000000) {
    fail(std::string(name) + " must be a whole number from 1 to 1000000");
  }
  return value;
}

struct Config {
  long files = 0;
  long mib = 0;
  long runs = 5;
  std::string kuvo;
  long goal_files = 0;  // the size at which the speed goals are judged
  long goal_mib = 0;
  bool at_goal_size() const { return files == goal_files && mib == goal_mib; }
};

// The settings <prefix>_FILES, _MIB, _RUNS and _KUVO (default: the kuvo built
// beside this program), the goals' size the default.
inline Config read_config(const std::string& prefix, long goal_files, long goal_mib) {
  Config config;
  config.goal_files = goal_files;
  config.goal_mib = goal_mib;
  config.files = setting((prefix + "_FILES").c_str(), goal_files);
  config.mib = setting((prefix + "_MIB").c_str(), goal_mib);
  config.runs = setting((prefix + "_RUNS").c_str(), 5);
  const char* kuvo = std::getenv((prefix + "_KUVO").c_str());
  config.kuvo = kuvo != nullptr && *kuvo != '\0'
                    ? fs::absolute(kuvo).string()
                    : (fs::read_symlink("/proc/self/exe").parent_path() / "kuvo").string();
  return config;
}

inline std::uintmax_t free_bytes(const fs::path& place) {
  struct statvfs info {};
  if (statvfs(place.c_str(), &info) != 0) return 0;
  return static_cast<std::uintmax_t>(info.f_bavail) * info.f_frsize;
}

// Where the release goes: $TMPDIR as asked, else a RAM-backed /dev/shm with
// room for it, else /tmp, whose files stay in the page cache just as well on a
// machine with the memory to spare.
inline fs::path scratch_parent(std::uintmax_t needed) {
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    return tmpdir;
  }
  if (access("/dev/shm", W_OK | X_OK) == 0 && free_bytes("/dev/shm") > needed) return "/dev/shm";
  return "/tmp";
}

// Pseudo-random bytes, so that no file system or page cache can store the
// files more cheaply than real compressed archives.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
};

inline void write_all(int fd, const unsigned char* data, std::size_t size, const fs::path& path) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("cannot write " + path.string() + ": " + std::strerror(errno));
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Writes `bytes` pseudo-random bytes to `path`; returns their CRC-32.
inline std::uint32_t write_random_file(const fs::path& path, std::uint64_t bytes, SplitMix64& random) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot create " + path.string() + ": " + std::strerror(errno));
  std::vector<std::uint64_t> words(kReadBuffer / sizeof(std::uint64_t));
  std::uint32_t crc = 0;
  while (bytes > 0) {
    stop_if_interrupted();
    for (std::uint64_t& word : words) word = random.next();
    const auto* data = reinterpret_cast<const unsigned char*>(words.data());
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kReadBuffer));
    write_all(fd, data, size, path);
    crc = kuvo::crc32_update(crc, data, size);
    bytes -= size;
  }
  if (close(fd) != 0) fail("cannot write " + path.string() + ": " + std::strerror(errno));
  return crc;
}

// Creates `dir` holding `files` files of `bytes` bytes each and the SFV that
// lists them with their CRC-32s, in CR LF lines as release SFVs mostly come;
// returns the files' names in the SFV's order.
inline std::vector<std::string> make_release(const fs::path& dir, long files, std::uint64_t bytes,
                                      std::uint64_t seed) {
  if (!fs::create_directory(dir)) fail("cannot create " + dir.string());
  SplitMix64 random{seed};
  std::vector<std::string> names;
  std::string sfv;
  for (long i = 1; i <= files; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "bench.release-kuvo.part%03ld.rar", i);
    char line[96];
    std::snprintf(line, sizeof line, "%s %08X\r\n", name,
                  write_random_file(dir / name, bytes, random));
    sfv += line;
    names.push_back(name);
  }
  std::ofstream(dir / kSfvName, std::ios::binary) << sfv;
  return names;
}

// Changes the last byte of `path`: a checker that stops early misses it.
inline void corrupt_last_byte(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  unsigned char byte = 0;
  const off_t last = static_cast<off_t>(fs::file_size(path)) - 1;
  if (fd < 0 || pread(fd, &byte, 1, last) != 1) fail("cannot read " + path.string());
  byte ^= 0x01;
  if (pwrite(fd, &byte, 1, last) != 1 || close(fd) != 0) fail("cannot change " + path.string());
}

struct Timing {
  double wall_seconds = 0;
  double cpu_seconds = 0;  // user + system
  int status = -1;         // exit status; -1 when the process did not exit normally
};

inline double seconds_of(const timeval& user, const timeval& system) {
  return static_cast<double>(user.tv_sec + system.tv_sec) +
         static_cast<double>(user.tv_usec + system.tv_usec) / 1e6;
}

// Runs `argv` (argv[0] a path) in `dir` with a bare environment, so that no
// setting of the caller's (a KUVO_ variable, a tool's configuration file in
// $HOME) changes what is measured; its output goes to `output`.
inline Timing run_program(const std::vector<std::string>& argv, const fs::path& dir,
                   const fs::path& output) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const char* path = std::getenv("PATH");
  std::string env_path = std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin");
  std::string env_home = "HOME=" + scratch.string();
  std::string env_locale = "LC_ALL=C";
  char* envp[] = {env_path.data(), env_home.data(), env_locale.data(), nullptr};

  Timing timing;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) fail(std::string("cannot fork: ") + std::strerror(errno));
  if (pid == 0) {
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || chdir(dir.c_str()) != 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
        dup2(out, 2) < 0) {
      _exit(127);
    }
    execve(args[0], args.data(), envp);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t reaped;
  while ((reaped = wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) {
  }
  timing.wall_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (reaped == pid) {
    timing.cpu_seconds = seconds_of(usage.ru_utime, usage.ru_stime);
    if (WIFEXITED(status)) timing.status = WEXITSTATUS(status);
  }
  stop_if_interrupted();
  return timing;
}

// Stops at an interrupt (SIGINT, SIGTERM) at the next file or run, cleaning up.
inline void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Makes the scratch directory, named after `tag`, where the release of
// `config` has room; fails the benchmark otherwise.
inline void make_scratch(const Config& config, const std::string& tag) {
  const std::uintmax_t needed =
      static_cast<std::uintmax_t>(config.files) * (static_cast<std::uint64_t>(config.mib) << 20);
  const fs::path parent = scratch_parent(needed + (64 << 20));
  std::string pattern = (parent / ("kuvo-" + tag + "-bench-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    fail("cannot create a directory in " + parent.string() + ": " + std::strerror(errno));
  }
  scratch = pattern;
  if (free_bytes(scratch) < needed) {
    fail(parent.string() + " has no room for " + std::to_string(needed >> 20) + " MiB");
  }
}

// Reads every file to its end through kuvo's buffer size, `threads` threads
// taking the files in the SFV's order: the floor under any checker, which
// must at least read them. Fails the benchmark on a read error.
inline Timing read_all(const fs::path& dir, const std::vector<std::string>& names, int threads) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto reader = [&] {
    std::vector<char> buffer(kReadBuffer);
    for (std::size_t i; (i = next++) < names.size();) {
      const int fd = open((dir / names[i]).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) failed = true;
      ssize_t got = 1;
      while (fd >= 0 && (got = read(fd, buffer.data(), buffer.size())) != 0) {
        if (got < 0 && errno != EINTR) {
          failed = true;
          break;
        }
      }
      if (fd >= 0) close(fd);
    }
  };
  rusage before{};
  rusage after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) workers.emplace_back(reader);
  for (std::thread& worker : workers) worker.join();
  Timing timing;
  timing.wall_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  getrusage(RUSAGE_SELF, &after);
  timing.cpu_seconds = seconds_of(after.ru_utime, after.ru_stime) -
                       seconds_of(before.ru_utime, before.ru_stime);
  if (failed) fail("cannot read the release's files in " + dir.string());
  timing.status = 0;
  stop_if_interrupted();
  return timing;
}

inline std::optional<std::string> find_in_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const fs::path candidate = fs::path(dirs.substr(start, end - start)) / program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return std::nullopt;
}

inline std::string file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One program under test. `args` follow the program's path; the release
// directory's path stands in for "{dir}".
struct Subject {
  std::string label;
  std::vector<std::string> argv;
  Timing fastest;
  Timing least_cpu;
  bool timed = false;
};

inline std::vector<std::string> with_dir(std::vector<std::string> argv, const fs::path& dir) {
  for (std::string& arg : argv) {
    if (arg == "{dir}") arg = dir.string();
  }
  return argv;
}

inline Timing run_subject(const Subject& subject, const fs::path& dir, const fs::path& output) {
  return run_program(with_dir(subject.argv, dir), dir, output);
}

inline void print_row(const Subject& subject, double mib) {
  if (!subject.timed) {
    std::printf("  %-34s %10s\n", subject.label.c_str(), "not available");
    return;
  }
  std::printf("  %-34s %10.1f %10.1f %8.2f\n", subject.label.c_str(),
              subject.fastest.wall_seconds * 1e3, subject.least_cpu.cpu_seconds * 1e3,
              mib / 1024 / subject.fastest.wall_seconds);
}

// Prints `slower / faster` in wall time, by which `goal` (0: none) is judged,
// and in CPU time, which a busy machine disturbs less: a ratio far below its
// CPU figure says that other work took the cores. Returns false when a judged
// goal is missed or cannot be judged.
inline bool print_ratio(const char* label, const Subject& slower, const Subject& faster, double goal,
                 bool judge) {
  if (!slower.timed || !faster.timed) {
    std::printf("  %-30s %8s\n", label, "-");
    return !judge || goal == 0;
  }
  const double ratio = slower.fastest.wall_seconds / faster.fastest.wall_seconds;
  const double cpu_ratio = slower.least_cpu.cpu_seconds / faster.least_cpu.cpu_seconds;
  if (goal == 0) {
    std::printf("  %-30s %8.2f %8.2f\n", label, ratio, cpu_ratio);
    return true;
  }
  const bool met = ratio >= goal;
  std::printf("  %-30s %8.2f %8.2f   goal at least %-4g %s\n", label, ratio, cpu_ratio, goal,
              !judge ? "(not judged)" : met ? "met" : "MISSED");
  return !judge || met;
}

// Puts each tool's path in place of its name; fails when one is not installed.
inline void locate_tools(std::initializer_list<Subject*> tools) {
  for (Subject* tool : tools) {
    const std::optional<std::string> path = find_in_path(tool->argv[0]);
    if (!path) fail(tool->argv[0] + " is not installed (Debian: apt-get install cksfv rhash)");
    tool->argv[0] = *path;
  }
}

inline void print_release_line(const Config& config, const fs::path& release) {
  double load = 0;
  getloadavg(&load, 1);
  std::printf("Release: %ld files of %ld MiB (%ld MiB) in %s; load average %.2f\n",
              config.files, config.mib, config.files * config.mib, release.c_str(), load);
  std::fflush(stdout);
}

// Times `runs` runs of every subject that `run_one` runs (none: it is left
// out), the subjects taking turns, so that the load of a shared machine falls
// on all alike; keeps each one's fastest run and its run of least CPU time.
// Fails the benchmark on a run that does not exit with 0.
inline void time_in_turns(std::vector<Subject>& subjects, long runs,
                          const std::function<std::optional<Timing>(const Subject&)>& run_one) {
  for (long run = 0; run < runs; ++run) {
    for (Subject& subject : subjects) {
      const std::optional<Timing> timing = run_one(subject);
      if (!timing) continue;
      if (timing->status != 0) {
        fail(subject.label + " exited with " + std::to_string(timing->status) + " in run " +
             std::to_string(run + 1) + "; no figure is given for a failed run");
      }
      if (!subject.timed || timing->wall_seconds < subject.fastest.wall_seconds) {
        subject.fastest = *timing;
      }
      if (!subject.timed || timing->cpu_seconds < subject.least_cpu.cpu_seconds) {
        subject.least_cpu = *timing;
      }
      subject.timed = true;
    }
  }
}

// The subjects' rows, then the head of the ratios below them.
inline void print_rows(const Config& config, const std::vector<Subject>& subjects) {
  std::printf("Fastest of %ld runs, wall time; CPU: least user + system time of a run\n",
              config.runs);
  std::printf("  %-34s %10s %10s %8s\n", "", "wall ms", "CPU ms", "GiB/s");
  const double total_mib = static_cast<double>(config.files) * static_cast<double>(config.mib);
  for (const Subject& subject : subjects) print_row(subject, total_mib);
  std::printf("Ratios; the goals, for %ld files of %ld MiB, are judged by wall time%s\n",
              config.goal_files, config.goal_mib, config.at_goal_size() ? "" : " (not at this size)");
  std::printf("  %-30s %8s %8s\n", "", "wall", "CPU");
}

}  // namespace kuvo_bench
