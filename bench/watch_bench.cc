// What kuvo --watch costs, against hook runs doing the same work, measured in
// the same run of this program:
//
// - idle: the watcher's wake-ups (context switches) and processor time over
//   five quiet seconds, watching a tree of release directories; none is the
//   goal, since it blocks in the kernel until an event or a deadline;
// - memory: the watcher's resident memory watching that tree (100,000 release
//   directories by default), against one watching a single directory, per
//   directory (goal: at most 2 KiB); an upload into the last directory must
//   still be judged. The kernel's fs.inotify.max_user_watches must allow one
//   watch a directory: as root this program raises it for the run and puts it
//   back afterwards, otherwise it watches as many as the limit allows;
// - a batch: N uploads moved into a release of 16,000 SFV entries, judged by
//   one watcher run (one listing, one SFV reading, N CRCs), against N hook
//   runs, in system calls (strace -f -c, the watcher's count without uploads
//   taken off) and in wall time;
// - latency: from an upload's close to its verdict line, less the settle time
//   and the time its CRC takes, for uploads of 8 MiB (goal: at most 5 ms);
// - a burst: 10,000 uploads written into 100 releases as fast as possible,
//   every one judged exactly once, against hook runs one per upload with as
//   many at once as the watcher's -j (goal: at least as fast).
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/watch_bench
//
// Environment: WATCH_BENCH_KUVO (default: the kuvo built beside this
// program), WATCH_BENCH_DIRS (100000), WATCH_BENCH_PENDING (100 uploads in the
// batch), WATCH_BENCH_BURST (10000 uploads over 100 releases). The trees go
// under $TMPDIR when set, else /dev/shm, else /tmp, and are removed at the end.
// Exit status 0 when every part ran and every goal was met, 1 when a part
// failed, 2 when a goal was missed.
#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>

#include <map>
#include <sstream>

#include "process_bench.h"

extern char** environ;

namespace {

using namespace kuvo_bench;
using Clock = std::chrono::steady_clock;

constexpr double kSettle = 0.2;  // the watchers' --settle here, seconds

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void put_file(const fs::path& path, const std::string& contents) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot create " + path.string());
  write_all(fd, reinterpret_cast<const unsigned char*>(contents.data()), contents.size(), path);
  close(fd);
}

std::uint32_t crc_of(const std::string& text) {
  return kuvo::crc32_update(0, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// A release directory `dir` whose SFV lists `count` files named
// "fNNNNN.rar" holding `contents(i)`, each with its missing marker, as an
// SFV arrival leaves it before any file came.
void make_waiting_release(const fs::path& dir, long count,
                          const std::function<std::string(long)>& contents) {
  fs::create_directories(dir);
  std::string sfv;
  for (long i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05ld.rar", i);
    char line[64];
    std::snprintf(line, sizeof line, "%s %08X\r\n", name, crc_of(contents(i)));
    sfv += line;
    put_file(dir / (std::string(name) + "-missing"), "");
  }
  put_file(dir / kSfvName, sfv);
}

std::string file_name(long i) {
  char name[32];
  std::snprintf(name, sizeof name, "f%05ld.rar", i);
  return name;
}

std::string small_contents(long i) { return "upload " + std::to_string(i) + "\n"; }

// A kuvo --watch in the background (under strace when `trace` is given), its
// standard output and error read as they come.
class Watcher {
 public:
  Watcher(const std::string& kuvo, const std::vector<std::string>& args, const fs::path& trace = {}) {
    std::vector<std::string> argv;
    if (!trace.empty()) argv = {"strace", "-f", "-c", "-o", trace.string(), "--"};
    argv.push_back(kuvo);
    argv.push_back("--watch");
    argv.insert(argv.end(), args.begin(), args.end());
    if (!trace.empty()) argv[0] = find_in_path("strace").value_or("strace");
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) fail("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> args_c;
    for (std::string& arg : argv) args_c.push_back(arg.data());
    args_c.push_back(nullptr);
    std::string path = "PATH=/usr/bin:/bin";
    char* envp[] = {path.data(), nullptr};
    if (posix_spawn(&pid_, args_c[0], &actions, nullptr, args_c.data(), envp) != 0) {
      fail("cannot start " + argv[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    traced_ = !trace.empty();
    if (wait_for([](const std::string& line) { return line.starts_with("kuvo: watching"); },
                 600) < 0) {
      fail("the watcher did not start:\n" + seen_);
    }
  }
  ~Watcher() { stop(); }

  // The watcher's own id, below strace when it is traced.
  pid_t pid() const {
    if (!traced_) return pid_;
    for (int i = 0; i < 1000; ++i) {
      std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                             "/children");
      pid_t child = 0;
      if (children >> child) return child;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fail("strace started no watcher");
  }

  // Reads lines until `done` holds for one (returns the time it came, seconds
  // since the epoch of Clock) or `seconds` passed (returns -1).
  double wait_for(const std::function<bool(const std::string&)>& done, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
      for (std::size_t at; (at = text_.find('\n')) != std::string::npos;) {
        const std::string line = text_.substr(0, at);
        text_.erase(0, at + 1);
        seen_ += line + "\n";
        lines.push_back(line);
        if (done(line)) return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
      }
      const double left = std::chrono::duration<double>(end - Clock::now()).count();
      pollfd fd{out_, POLLIN, 0};
      if (left <= 0 || poll(&fd, 1, static_cast<int>(left * 1000) + 1) <= 0) return -1;
      char buffer[65536];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) return -1;
      text_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Waits for `count` more lines; false when they did not come in `seconds`.
  bool wait_lines(std::size_t count, double seconds) {
    const std::size_t want = lines.size() + count;
    return count == 0 || wait_for([&](const std::string&) { return lines.size() >= want; }, seconds) >= 0;
  }

  void stop() {
    if (pid_ <= 0) return;
    // strace, told to stop, would leave the watcher running: the watcher is told.
    kill(pid(), SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    close(out_);
  }

  std::vector<std::string> lines;

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool traced_ = false;
  std::string text_;
  std::string seen_;
};

// What /proc says of a process: context switches, processor time, resident memory.
struct ProcessState {
  long switches = 0;
  double cpu_seconds = 0;
  long rss_kib = 0;
};

// The watcher and the runs it started: the watcher alone, whose runs have
// ended once it is quiet.
ProcessState state_of(pid_t pid) {
  ProcessState state;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    std::istringstream words(line);
    std::string key;
    long value = 0;
    words >> key >> value;
    if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
      state.switches += value;
    }
    if (key == "VmRSS:") state.rss_kib = value;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::vector<std::string> field((std::istream_iterator<std::string>(fields)), {});
  if (field.size() > 12) {
    state.cpu_seconds = (std::stod(field[11]) + std::stod(field[12])) / sysconf(_SC_CLK_TCK);
  }
  return state;
}

// Waits until the watcher has switched no more for `quiet` seconds: its
// catch-up runs are over.
ProcessState wait_quiet(pid_t pid, double quiet) {
  ProcessState last = state_of(pid);
  for (int i = 0; i < 6000; ++i) {
    std::this_thread::sleep_for(std::chrono::duration<double>(quiet));
    const ProcessState now = state_of(pid);
    if (now.switches == last.switches) return now;
    last = now;
  }
  fail("the watcher never went quiet");
}

// Runs kuvo as an upload server's hook for `file` in `dir`; its wall time.
double hook_run(const std::string& kuvo, const fs::path& dir, const std::string& file,
                const fs::path& trace = {}) {
  std::vector<std::string> argv;
  if (!trace.empty()) {
    argv = {find_in_path("strace").value_or("strace"), "-f", "-c", "-o", trace.string(), "--"};
  }
  argv.push_back(kuvo);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  std::string env_file = "KUVO_FILE=" + file;
  std::string env_dir = "KUVO_DIR=" + dir.string();
  std::string env_bad = "KUVO_ON_BAD=rename";
  std::string env_path = "PATH=/usr/bin:/bin";
  char* envp[] = {env_file.data(), env_dir.data(), env_bad.data(), env_path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp) != 0) fail("cannot spawn");
  posix_spawn_file_actions_destroy(&actions);
  int status;
  waitpid(pid, &status, 0);
  return since(start);
}

// The number of system calls in the summary of `strace -c`.
long traced_calls(const fs::path& trace) {
  std::ifstream in(trace);
  long calls = -1;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> word((std::istream_iterator<std::string>(words)), {});
    if (!word.empty() && word.back() == "total" && word.size() >= 4) calls = std::stol(word[3]);
  }
  if (calls < 0) fail("no strace summary in " + trace.string());
  return calls;
}

bool goal(const char* what, bool met) {
  std::printf("  goal: %-58s %s\n", what, met ? "met" : "MISSED");
  return met;
}

// Idle and memory: `dirs` release directories below one area.
bool idle_and_memory(const std::string& kuvo, long dirs) {
  long limit = std::stol(file_text("/proc/sys/fs/inotify/max_user_watches"));
  const long old_limit = limit;
  if (limit < dirs + 1000) {
    if (geteuid() == 0) {
      std::ofstream("/proc/sys/fs/inotify/max_user_watches") << dirs + 1000;
      limit = dirs + 1000;
      std::printf("fs.inotify.max_user_watches raised from %ld to %ld for this run\n", old_limit,
                  limit);
    } else {
      dirs = std::max(1L, limit - 1000);
      std::printf("fs.inotify.max_user_watches is %ld and this is not root: %ld directories\n",
                  limit, dirs);
    }
  }
  const fs::path one = scratch / "one";
  const fs::path area = scratch / "area";
  fs::create_directories(one / "rel");
  fs::create_directories(area);
  for (long i = 0; i < dirs; ++i) fs::create_directory(area / ("rel" + std::to_string(i)));

  Watcher small(kuvo, {"--settle", "0.2", one.string()});
  const ProcessState small_state = wait_quiet(small.pid(), 0.5);
  const auto start = Clock::now();
  Watcher large(kuvo, {"--settle", "0.2", area.string()});
  const double started = since(start);
  const ProcessState before = wait_quiet(large.pid(), 1.0);
  const double caught_up = since(start);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const ProcessState after = state_of(large.pid());
  // The last directory still works.
  const fs::path last = area / ("rel" + std::to_string(dirs - 1));
  put_file(last / "a.rar", "a");
  const bool judged = large.wait_for([](const std::string& line) {
    return line.find("/a.rar: Skipping a.rar") != std::string::npos;
  }, 30) >= 0;
  large.stop();
  small.stop();
  if (old_limit != limit) std::ofstream("/proc/sys/fs/inotify/max_user_watches") << old_limit;

  const double per_dir = static_cast<double>(after.rss_kib - small_state.rss_kib) * 1024 /
                         static_cast<double>(dirs);
  std::printf("Idle and memory: %ld release directories\n", dirs);
  std::printf("  watching after %.2f s, every release caught up after %.2f s\n", started, caught_up);
  std::printf("  idle 5 s: %ld wake-ups, %.3f s of processor time\n",
              after.switches - before.switches, after.cpu_seconds - before.cpu_seconds);
  std::printf("  resident: %ld KiB watching them, %ld KiB watching one: %.0f bytes a directory\n",
              after.rss_kib, small_state.rss_kib, per_dir);
  std::printf("  an upload into the last directory judged: %s\n", judged ? "yes" : "NO");
  bool met = goal("no wake-up while idle", after.switches == before.switches);
  met = goal("at most 2 KiB a watched directory", per_dir <= 2048) && met;
  return goal("every directory watched", judged) && met;
}

// The batch: `pending` uploads moved into a release of 16,000 entries.
bool batch(const std::string& kuvo, long pending) {
  constexpr long kEntries = 16000;
  const fs::path area = scratch / "batch";
  const fs::path release = area / "rel";
  const fs::path staging = scratch / "staging";
  fs::create_directories(staging);
  auto reset = [&] {
    fs::remove_all(release);
    make_waiting_release(release, kEntries, small_contents);
    for (long i = 0; i < pending; ++i) put_file(staging / file_name(i), small_contents(i));
  };
  auto move_in = [&] {
    for (long i = 0; i < pending; ++i) fs::rename(staging / file_name(i), release / file_name(i));
  };
  // A watcher's session, with or without the uploads, traced or timed.
  auto session = [&](bool uploads, const fs::path& trace) {
    reset();
    double seconds = 0;
    {
      Watcher watcher(kuvo, {"--settle", "0.2", area.string()}, trace);
      wait_quiet(watcher.pid(), 0.5);
      if (uploads) {
        move_in();
        const auto moved = Clock::now();
        if (!watcher.wait_lines(static_cast<std::size_t>(pending), 120)) fail("batch not judged");
        seconds = since(moved) - kSettle;
      }
    }
    return seconds;
  };
  const fs::path trace = scratch / "watch.trace";
  session(false, trace);
  const long without = traced_calls(trace);
  session(true, trace);
  const long with = traced_calls(trace);
  const double watched_seconds = session(true, {});

  reset();
  move_in();
  long hook_calls = 0;
  for (long i = 0; i < pending; ++i) {
    const fs::path trace = scratch / "hook.trace";
    hook_run(kuvo, release, file_name(i), trace);
    hook_calls += traced_calls(trace);
  }
  reset();
  move_in();
  double hook_seconds = 0;
  for (long i = 0; i < pending; ++i) hook_seconds += hook_run(kuvo, release, file_name(i));

  const long batch_calls = with - without;
  std::printf("Batch: %ld uploads into a release of %ld entries\n", pending, kEntries);
  std::printf("  system calls: watcher run %ld, %ld hook runs %ld: %.1f times fewer\n",
              batch_calls, pending, hook_calls,
              static_cast<double>(hook_calls) / static_cast<double>(batch_calls));
  std::printf("  wall time: watcher run %.1f ms (settle taken off), hook runs %.1f ms: %.1f times\n",
              watched_seconds * 1e3, hook_seconds * 1e3, hook_seconds / watched_seconds);
  return goal("fewer system calls than hook runs", batch_calls < hook_calls);
}

// Latency: close to verdict, less settle and CRC, for uploads of 8 MiB.
bool latency(const std::string& kuvo) {
  constexpr long kUploads = 15;
  constexpr std::uint64_t kBytes = 8 << 20;
  const fs::path area = scratch / "latency";
  const fs::path staging = scratch / "latency-staging";
  fs::create_directories(area / "rel");
  fs::create_directories(staging);
  SplitMix64 random{7};
  std::string sfv;
  for (long i = 0; i < kUploads; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%s %08X\r\n", file_name(i).c_str(),
                  write_random_file(staging / file_name(i), kBytes, random));
    sfv += line;
  }
  put_file(area / "rel" / kSfvName, sfv);
  Watcher watcher(kuvo, {"--settle", "0.2", area.string()});
  wait_quiet(watcher.pid(), 0.5);
  std::vector<double> overheads;
  std::vector<char> buffer(kReadBuffer);
  // The CRC time that stands for a run's is that of bytes just written, read
  // for the first time by another process, as a run finds an upload: on this
  // kind of machine that first read takes several times as long as any later
  // one (the kernel's first look at each freshly written page), whoever
  // reads. A read of the upload after its verdict would be a later one, so a
  // twin of it, written the same way beside the release, is read by a child.
  const fs::path twin = scratch / "latency-twin";
  auto crc_seconds_of = [&](const fs::path& path) {
    int result[2];
    if (pipe(result) != 0) fail("pipe");
    const pid_t child = fork();
    if (child == 0) {
      const auto start = Clock::now();
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      std::uint32_t crc = 0;
      for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;) {
        crc = kuvo::crc32_update(crc, reinterpret_cast<const unsigned char*>(buffer.data()),
                                 static_cast<std::size_t>(got));
      }
      const double seconds = since(start) + (crc == 1 ? 1e-12 : 0);
      _exit(write(result[1], &seconds, sizeof seconds) == sizeof seconds ? 0 : 1);
    }
    close(result[1]);
    double seconds = 0;
    if (child < 0 || read(result[0], &seconds, sizeof seconds) != sizeof seconds) fail("CRC child");
    close(result[0]);
    waitpid(child, nullptr, 0);
    return seconds;
  };
  for (long i = 0; i < kUploads; ++i) {
    const std::string contents = file_text(staging / file_name(i));
    const std::string name = file_name(i);
    put_file(twin, contents);
    const double crc_seconds = crc_seconds_of(twin);
    fs::remove(twin);
    put_file(area / "rel" / name, contents);
    const double closed = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    const double told = watcher.wait_for([&](const std::string& line) {
      return line.find("/" + name + ": ") != std::string::npos;
    }, 30);
    if (told < 0) fail("no verdict for " + name);
    overheads.push_back((told - closed - kSettle - crc_seconds) * 1e3);
  }
  std::sort(overheads.begin(), overheads.end());
  const double median = overheads[overheads.size() / 2];
  std::printf("Latency: %ld uploads of 8 MiB, close to verdict less settle (%.1f s) and CRC\n",
              kUploads, kSettle);
  std::printf("  least %.2f ms, median %.2f ms, most %.2f ms\n", overheads.front(), median,
              overheads.back());
  return goal("median at most 5 ms", median <= 5);
}

// The burst: `uploads` uploads over 100 releases, against hook runs.
bool burst(const std::string& kuvo, long uploads) {
  constexpr long kReleases = 100;
  const long per_release = std::max(1L, uploads / kReleases);
  const unsigned jobs = std::max(1U, std::thread::hardware_concurrency());
  auto make_tree = [&](const fs::path& area) {
    for (long r = 0; r < kReleases; ++r) {
      make_waiting_release(area / ("rel" + std::to_string(r)), per_release, small_contents);
    }
  };
  auto upload = [&](const fs::path& area, long k) {
    const fs::path dir = area / ("rel" + std::to_string(k % kReleases));
    put_file(dir / file_name(k / kReleases), small_contents(k / kReleases));
    return dir;
  };
  const long total = per_release * kReleases;

  const fs::path watched = scratch / "burst-watched";
  make_tree(watched);
  Watcher watcher(kuvo, {"--settle", "0.2", "-j", std::to_string(jobs), watched.string()});
  wait_quiet(watcher.pid(), 0.5);
  const auto start = Clock::now();
  for (long k = 0; k < total; ++k) upload(watched, k);
  if (!watcher.wait_lines(static_cast<std::size_t>(total), 600)) fail("burst not judged");
  const double watched_seconds = since(start);
  // A moment more: anything judged twice would show now.
  watcher.wait_lines(1, 1.0);
  watcher.stop();
  std::map<std::string, int> verdicts;
  long okay = 0;
  for (const std::string& line : watcher.lines) {
    if (line.starts_with("kuvo:")) continue;
    ++verdicts[line.substr(0, line.find(": "))];
    okay += line.find("CRC okay.") != std::string::npos;
  }
  long twice = 0;
  for (const auto& [file, count] : verdicts) twice += count > 1;

  const fs::path hooked = scratch / "burst-hooked";
  make_tree(hooked);
  std::atomic<long> next{0};
  const auto hook_start = Clock::now();
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < jobs; ++w) {
    workers.emplace_back([&] {
      for (long k; (k = next++) < total;) hook_run(kuvo, upload(hooked, k), file_name(k / kReleases));
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double hook_seconds = since(hook_start);

  std::printf("Burst: %ld uploads over %ld releases, -j %u\n", total, kReleases, jobs);
  std::printf("  watcher: %.2f s (settle %.1f s included), %zu files judged, %ld CRC okay, %ld twice\n",
              watched_seconds, kSettle, verdicts.size(), okay, twice);
  std::printf("  hook runs, %u at once: %.2f s: the watcher %.1f times as fast\n", jobs,
              hook_seconds, hook_seconds / watched_seconds);
  bool met = goal("all judged, none twice", okay == total && twice == 0 &&
                                                static_cast<long>(verdicts.size()) == total);
  return goal("at least as fast as hook runs", watched_seconds <= hook_seconds) && met;
}

}  // namespace

int main() {
  catch_interrupts();
  Config config;
  config.files = 1;
  config.mib = 200;  // room for the latency part's files
  const Config read = read_config("WATCH_BENCH", 1, 1);
  make_scratch(config, "watch");
  const std::string kuvo = read.kuvo;
  const long dirs = setting("WATCH_BENCH_DIRS", 100000);
  const long pending = setting("WATCH_BENCH_PENDING", 100);
  const long uploads = setting("WATCH_BENCH_BURST", 10000);
  double load = 0;
  getloadavg(&load, 1);
  std::printf("kuvo --watch against hook runs; %s; load average %.2f\n", scratch.c_str(), load);
  std::fflush(stdout);
  bool met = latency(kuvo);
  std::fflush(stdout);
  met = batch(kuvo, pending) && met;
  std::fflush(stdout);
  met = burst(kuvo, uploads) && met;
  std::fflush(stdout);
  met = idle_and_memory(kuvo, dirs) && met;
  std::fflush(stdout);
  leave(met ? 0 : 2);
}
