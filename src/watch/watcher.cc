#include "watch/watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <unordered_map>

#include "watch/batch.h"
#include "watch/name_filter.h"
#include "watch/privileges.h"

namespace kuvo {
namespace {

using Clock = std::chrono::steady_clock;

// Above a release only new directories matter; in a release, files that were
// written or moved in, and names that went away.
constexpr std::uint32_t kAreaMask = IN_CREATE | IN_MOVED_TO | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kReleaseMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                       IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
// Moves of kuvo's own names whose other half may still be on its way.
constexpr std::size_t kCookiesKept = 256;
// Releases that share a catch-up run at most.
constexpr std::size_t kCatchUpsShared = 64;
// How long what a run judged is kept: longer than any event of a close
// before the run can take to reach the watcher.
constexpr auto kJudgedKept = std::chrono::seconds(10);

void tell(const std::string& line) {
  const std::string text = "kuvo: " + line + "\n";
  [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
}

// A watched directory: an upload area, a directory between it and the
// releases, or a release. The path is held once, a name a level.
struct Dir {
  int parent = -1;  // the watch of the directory above; -1 for an upload area
  int area = 0;     // which upload area it lies in
  int depth = 0;    // levels below the area
  bool seen = true;  // found by the latest walk
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;  // its name in the directory above; empty for an area
};

struct Waiting {
  Clock::time_point due;  // when it has been left alone long enough
  std::uint64_t arrival;  // the order the uploads completed in
};

// The uploads of one release waiting for their run.
struct Queue {
  std::unordered_map<std::string, Waiting> uploads;
  bool catch_up = false;  // look for uploads that completed unseen
  bool running = false;   // a run for the release is under way
  bool listed = false;    // in the list of releases ready for a run
  JudgedFiles judged;     // what the latest runs judged, for a while
  Clock::time_point judged_until;

  bool idle() const { return uploads.empty() && !catch_up && !running && judged.empty(); }
};

// A run under way: the releases it judges, and where it tells what it judged.
struct Run {
  std::vector<int> wds;
  int report = -1;
};

// How a directory came to be watched, which decides what its release needs.
enum class Found { at_start, created, moved_in, on_rescan };

// The names of a directory's entries that are directories (`want_dirs`) or
// regular files, links never followed.
std::vector<std::string> entries_of(int fd, bool want_dirs) {
  std::vector<std::string> names;
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
  if (dir == nullptr) {
    if (copy >= 0) close(copy);
    return names;
  }
  rewinddir(dir);
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == (want_dirs ? DT_DIR : DT_REG)) names.emplace_back(name);
  }
  closedir(dir);
  return names;
}

class Watcher {
 public:
  explicit Watcher(const WatchOptions& options) : options_(options), own_(options.settings) {}
  ~Watcher();
  int run();

 private:
  bool start();
  void walk(Found how);
  void add_below(int parent_fd, int parent_wd, const std::string& name, Found how);
  void add_dir(int fd, int area, int parent, int depth, const std::string& name, Found how);
  int add_watch(int fd, const std::function<std::string()>& path, std::uint32_t mask);
  void forget(int wd);
  void forget_unseen();
  DirPlace place_of(int wd) const;
  std::string path_of(int wd) const;
  bool still_in_place(int wd) const;

  void read_events();
  void on_event(const inotify_event& event);
  void on_release_event(int wd, const Dir& dir, const inotify_event& event);
  void queue_upload(int wd, std::string name, Clock::time_point due);
  void queue_catch_up(int wd);
  void mark_ready(int wd);
  void wake_due();
  std::optional<Batch> take_batch(int wd, Clock::time_point now);
  bool only_catching_up(int wd) const;
  void start_ready();
  void on_signals();
  void reap();
  void release_ran(int wd, JudgedFiles judged);
  bool take_own_cookie(std::uint32_t cookie);

  const WatchOptions& options_;
  const OwnFiles own_;
  int inotify_ = -1;
  int signals_ = -1;
  bool proc_fds_ = false;  // /proc/self/fd lets a watch name an open directory
  bool limit_told_ = false;
  bool stopping_ = false;
  std::uint64_t arrivals_ = 0;
  std::vector<int> area_fds_;
  std::unordered_map<int, Dir> dirs_;
  std::unordered_map<int, Queue> queues_;
  std::priority_queue<std::pair<Clock::time_point, int>,
                      std::vector<std::pair<Clock::time_point, int>>, std::greater<>>
      deadlines_;
  std::deque<int> ready_;
  std::unordered_map<pid_t, Run> runs_;
  std::deque<std::uint32_t> own_cookies_;
};

Watcher::~Watcher() {
  for (const int fd : area_fds_) close(fd);
  if (inotify_ >= 0) close(inotify_);
  if (signals_ >= 0) close(signals_);
}

// Signals arrive through a descriptor beside the events, so that the loop
// blocks in one place and a run's end or a stop is never missed.
bool Watcher::start() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signal);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (signals_ < 0 || inotify_ < 0) {
    tell(std::string("cannot watch directories: ") + std::strerror(errno));
    return false;
  }
  proc_fds_ = access("/proc/self/fd", X_OK) == 0;
  for (const std::string& dir : options_.dirs) {
    // The upload area is the administrator's, and may be reached through links.
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      tell("cannot open " + dir + ": " + std::strerror(errno));
      return false;
    }
    area_fds_.push_back(fd);
  }
  walk(Found::at_start);
  if (options_.user) {
    const DropResult dropped = drop_privileges(*options_.user);
    if (dropped != DropResult::dropped) {
      tell("cannot run as " + *options_.user + ": " +
           (dropped == DropResult::unknown_user ? std::string("no such user in /etc/passwd")
                                                : std::strerror(errno)));
      return false;
    }
  }
  // Uploads from here on are seen: a line that says so lets a service
  // manager or a script go on to the next step.
  tell("watching " + std::to_string(dirs_.size()) +
       (dirs_.size() == 1 ? " directory" : " directories"));
  return true;
}

// Watches every directory of every area down to the releases; what is found
// again keeps its watch, what is not found any more loses it.
void Watcher::walk(Found how) {
  for (auto& [wd, dir] : dirs_) dir.seen = false;
  for (std::size_t area = 0; area < area_fds_.size(); ++area) {
    add_dir(area_fds_[area], static_cast<int>(area), -1, 0, "", how);
  }
  forget_unseen();
}

void Watcher::add_below(int parent_fd, int parent_wd, const std::string& name, Found how) {
  if (is_client_staging_dir(name)) return;
  const auto parent = dirs_.find(parent_wd);
  if (parent == dirs_.end()) return;
  const int fd = openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;  // gone again, or a link: nothing to watch
  const Dir& above = parent->second;
  add_dir(fd, above.area, parent_wd, above.depth + 1, name, how);
  close(fd);
}

void Watcher::add_dir(int fd, int area, int parent, int depth, const std::string& name,
                      Found how) {
  const bool release = depth == options_.depth;
  // Spelled out only when needed: a walk of 100,000 directories names none.
  const auto path = [&] { return parent < 0 ? options_.dirs[area] : path_of(parent) + "/" + name; };
  const int wd = add_watch(fd, path, release ? kReleaseMask : kAreaMask);
  struct stat st;
  if (wd < 0 || fstat(fd, &st) != 0) return;
  auto [at, fresh] = dirs_.try_emplace(wd);
  // A directory moved to another level is a new one there.
  if (!fresh && at->second.depth != depth) {
    forget(wd);
    add_dir(fd, area, parent, depth, name, how);
    return;
  }
  at->second = Dir{parent, area, depth, true, st.st_dev, st.st_ino, name};
  if (!release) {
    for (const std::string& below : entries_of(fd, true)) add_below(fd, wd, below, how);
  } else if (how == Found::created) {
    // Files may have landed before the watch was there.
    const Clock::time_point due = Clock::now() + options_.settle;
    for (std::string& file : entries_of(fd, false)) {
      if (classify_name(options_.settings, file) == NameKind::upload &&
          !own_.holds(st.st_dev, st.st_ino, file)) {
        queue_upload(wd, std::move(file), due);
      }
    }
  } else {
    queue_catch_up(wd);
  }
}

int Watcher::add_watch(int fd, const std::function<std::string()>& path, std::uint32_t mask) {
  // Through the open descriptor the watch lands on the very directory opened
  // without following links, whatever its path has become since.
  const std::string target = proc_fds_ ? "/proc/self/fd/" + std::to_string(fd) : path();
  const int wd =
      inotify_add_watch(inotify_, target.c_str(), mask | (proc_fds_ ? 0 : IN_DONT_FOLLOW));
  if (wd >= 0) {
    limit_told_ = false;
  } else if (errno == ENOSPC) {
    if (!limit_told_) {
      tell("cannot watch " + path() +
           " and maybe more: no watches left; raise fs.inotify.max_user_watches (sysctl), "
           "then send SIGHUP");
    }
    limit_told_ = true;
  } else if (errno != ENOENT) {
    tell("cannot watch " + path() + ": " + std::strerror(errno));
  }
  return wd;
}

void Watcher::forget(int wd) {
  const auto at = dirs_.find(wd);
  if (at == dirs_.end()) return;
  if (at->second.depth < options_.depth) {
    std::vector<int> below;
    for (const auto& [other, dir] : dirs_) {
      if (dir.parent == wd) below.push_back(other);
    }
    for (const int other : below) forget(other);
  }
  inotify_rm_watch(inotify_, wd);
  dirs_.erase(wd);
  const auto queue = queues_.find(wd);
  if (queue == queues_.end()) return;
  if (queue->second.running) {
    queue->second.uploads.clear();
    queue->second.catch_up = false;
  } else {
    queues_.erase(queue);
  }
}

void Watcher::forget_unseen() {
  std::vector<int> unseen;
  for (const auto& [wd, dir] : dirs_) {
    if (!dir.seen) unseen.push_back(wd);
  }
  for (const int wd : unseen) forget(wd);
}

DirPlace Watcher::place_of(int wd) const {
  DirPlace place;
  const Dir* dir = &dirs_.at(wd);
  place.dev = dir->dev;
  place.ino = dir->ino;
  place.area_fd = area_fds_[dir->area];
  while (dir->parent >= 0) {
    place.parts.push_back(dir->name);
    dir = &dirs_.at(dir->parent);
  }
  std::reverse(place.parts.begin(), place.parts.end());
  return place;
}

std::string Watcher::path_of(int wd) const {
  const Dir& dir = dirs_.at(wd);
  std::string path = options_.dirs[dir.area];
  for (const std::string& part : place_of(wd).parts) path += "/" + part;
  return path;
}

bool Watcher::still_in_place(int wd) const {
  const int fd = open_place(place_of(wd));
  if (fd < 0) return false;
  close(fd);
  return true;
}

void Watcher::read_events() {
  alignas(inotify_event) char buffer[64 * 1024];
  while (true) {
    const ssize_t got = read(inotify_, buffer, sizeof buffer);
    if (got <= 0) return;  // EAGAIN: all read
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      on_event(*event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

void Watcher::on_event(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    // Events were lost: look at everything again, and judge what completed.
    own_cookies_.clear();
    walk(Found::on_rescan);
    return;
  }
  if (event.mask & IN_IGNORED) {
    forget(event.wd);
    return;
  }
  const auto at = dirs_.find(event.wd);
  if (at == dirs_.end()) return;
  const int wd = event.wd;
  if (event.mask & IN_MOVE_SELF) {
    // Moved within the areas it has been found at its new place already;
    // moved out, it is no longer watched. An area stays, wherever it went.
    if (at->second.parent >= 0 && !still_in_place(wd)) forget(wd);
    return;
  }
  if (at->second.depth == options_.depth) {
    on_release_event(wd, at->second, event);
    return;
  }
  if ((event.mask & IN_ISDIR) && event.len > 0) {
    const int fd = open_place(place_of(wd));
    if (fd < 0) return;
    add_below(fd, wd, event.name, (event.mask & IN_CREATE) ? Found::created : Found::moved_in);
    close(fd);
  }
}

void Watcher::on_release_event(int wd, const Dir& dir, const inotify_event& event) {
  if ((event.mask & IN_ISDIR) || event.len == 0) return;  // Sample/, Proof/: never judged
  const std::string name = event.name;
  const NameKind kind = classify_name(options_.settings, name);
  if (event.mask & (IN_MOVED_FROM | IN_DELETE)) {
    if ((event.mask & IN_MOVED_FROM) && kind == NameKind::own) {
      own_cookies_.push_back(event.cookie);
      if (own_cookies_.size() > kCookiesKept) own_cookies_.pop_front();
    }
    const auto queue = queues_.find(wd);
    if (queue != queues_.end()) queue->second.uploads.erase(name);
    return;
  }
  // A file moved in from one of kuvo's own names is kuvo's own change: a
  // re-test giving an untested file its name back.
  if ((event.mask & IN_MOVED_TO) && take_own_cookie(event.cookie)) return;
  if (kind != NameKind::upload || own_.holds(dir.dev, dir.ino, name)) return;
  queue_upload(wd, name, Clock::now() + options_.settle);
}

bool Watcher::take_own_cookie(std::uint32_t cookie) {
  const auto at = std::find(own_cookies_.begin(), own_cookies_.end(), cookie);
  if (at == own_cookies_.end()) return false;
  own_cookies_.erase(at);
  return true;
}

// Each new event for a name starts its quiet time again.
void Watcher::queue_upload(int wd, std::string name, Clock::time_point due) {
  queues_[wd].uploads.insert_or_assign(std::move(name), Waiting{due, arrivals_++});
  deadlines_.emplace(due, wd);
}

void Watcher::queue_catch_up(int wd) {
  queues_[wd].catch_up = true;
  mark_ready(wd);
}

void Watcher::mark_ready(int wd) {
  Queue& queue = queues_[wd];
  if (queue.listed) return;
  queue.listed = true;
  ready_.push_back(wd);
}

void Watcher::wake_due() {
  const Clock::time_point now = Clock::now();
  while (!deadlines_.empty() && deadlines_.top().first <= now) {
    const int wd = deadlines_.top().second;
    deadlines_.pop();
    const auto queue = queues_.find(wd);
    if (queue == queues_.end()) continue;
    if (queue->second.judged_until <= now) queue->second.judged.clear();
    if (queue->second.idle()) {
      queues_.erase(queue);
    } else {
      mark_ready(wd);
    }
  }
}

// The batch of the ready release `wd`: its uploads left alone long enough,
// in the order they completed; none when it has nothing to run now. A
// catch-up takes every upload queued, settled or not: it judges whatever
// still waits for its verdict anyway, and an upload left in the queue would
// be judged a second time once settled (after an overflow, every upload
// queued before it).
std::optional<Batch> Watcher::take_batch(int wd, Clock::time_point now) {
  const auto at = queues_.find(wd);
  if (at == queues_.end()) return std::nullopt;
  Queue& queue = at->second;
  queue.listed = false;
  if (queue.running || dirs_.count(wd) == 0) return std::nullopt;  // looked at when it ends
  std::vector<std::pair<std::uint64_t, std::string>> due;
  for (auto it = queue.uploads.begin(); it != queue.uploads.end();) {
    if (it->second.due > now && !queue.catch_up) {
      ++it;
      continue;
    }
    due.emplace_back(it->second.arrival, it->first);
    it = queue.uploads.erase(it);
  }
  if (due.empty() && !queue.catch_up) return std::nullopt;
  std::sort(due.begin(), due.end());
  Batch batch{path_of(wd), place_of(wd), {}, queue.catch_up, {}};
  for (auto& [arrival, name] : due) {
    const auto judged = queue.judged.find(name);
    if (judged != queue.judged.end()) batch.judged.insert(*judged);
    batch.uploads.push_back(std::move(name));
  }
  queue.catch_up = false;
  queue.running = true;
  return batch;
}

// True when the release `wd` is ready for nothing but a catch-up.
bool Watcher::only_catching_up(int wd) const {
  const auto at = queues_.find(wd);
  return at != queues_.end() && at->second.catch_up && at->second.uploads.empty();
}

// Starts a run for each release whose uploads have been left alone long
// enough, one at a time in a release and at most -j at once. Releases that
// only need catching up (every one at start) share a run a few at a time,
// for a process each would cost more than most of them hold.
void Watcher::start_ready() {
  const Clock::time_point now = Clock::now();
  while (!stopping_ && runs_.size() < options_.jobs && !ready_.empty()) {
    std::vector<int> wds;
    std::vector<Batch> batches;
    const std::size_t share =
        std::clamp<std::size_t>(ready_.size() / options_.jobs, 1, kCatchUpsShared);
    do {
      const int wd = ready_.front();
      const bool catching_up = only_catching_up(wd);
      if (!batches.empty() && !catching_up) break;
      ready_.pop_front();
      std::optional<Batch> batch = take_batch(wd, now);
      if (!batch) continue;
      wds.push_back(wd);
      batches.push_back(std::move(*batch));
      if (!catching_up) break;
    } while (!ready_.empty() && batches.size() < share);
    if (batches.empty()) continue;
    const int report = memfd_create("kuvo-run", MFD_CLOEXEC);
    const pid_t pid =
        report < 0 ? -1 : start_batches(batches, options_, {inotify_, signals_}, report);
    if (pid < 0) {
      if (report >= 0) close(report);
      tell("cannot start a run in " + batches.front().release + ": " + std::strerror(errno));
      // Tried again in a second, the uploads in the order they came.
      const Clock::time_point retry = now + std::chrono::seconds(1);
      for (std::size_t i = 0; i < wds.size(); ++i) {
        Queue& queue = queues_[wds[i]];
        queue.running = false;
        queue.catch_up = batches[i].catch_up;
        for (std::string& name : batches[i].uploads) queue_upload(wds[i], std::move(name), retry);
        deadlines_.emplace(retry, wds[i]);
      }
      return;
    }
    runs_.emplace(pid, Run{std::move(wds), report});
  }
}

void Watcher::reap() {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    const auto run = runs_.find(pid);
    if (run == runs_.end()) continue;
    const std::vector<int> wds = std::move(run->second.wds);
    std::vector<JudgedFiles> judged = read_report(run->second.report, wds.size());
    close(run->second.report);
    runs_.erase(run);
    if (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0)) {
      const std::string release = dirs_.count(wds.front()) != 0 ? path_of(wds.front()) : "a release";
      tell("the run in " + release + " ended " +
           (WIFSIGNALED(status) ? "by signal " + std::to_string(WTERMSIG(status))
                                : "with status " + std::to_string(WEXITSTATUS(status))));
    }
    for (std::size_t i = 0; i < wds.size(); ++i) release_ran(wds[i], std::move(judged[i]));
  }
}

// After a run in the release `wd`: uploads that came due meanwhile get a run
// of their own now; the rest wait for their deadlines, which are still set.
void Watcher::release_ran(int wd, JudgedFiles judged) {
  const auto queue = queues_.find(wd);
  if (queue == queues_.end()) return;
  queue->second.running = false;
  if (dirs_.count(wd) == 0) {
    queues_.erase(queue);
    return;
  }
  const Clock::time_point now = Clock::now();
  if (!judged.empty()) {
    for (auto& [name, changed] : judged) queue->second.judged.insert_or_assign(name, changed);
    queue->second.judged_until = now + kJudgedKept;
    deadlines_.emplace(queue->second.judged_until, wd);
  }
  if (queue->second.idle()) {
    queues_.erase(queue);
    return;
  }
  bool due = queue->second.catch_up;
  for (const auto& [name, waiting] : queue->second.uploads) due = due || waiting.due <= now;
  if (due) mark_ready(wd);
}

void Watcher::on_signals() {
  signalfd_siginfo info;
  while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGCHLD) {
      reap();
    } else if (info.ssi_signo == SIGHUP) {
      walk(Found::on_rescan);
    } else {
      stopping_ = true;
    }
  }
  reap();  // SIGCHLD of several runs may have come as one
}

int Watcher::run() {
  if (!start()) return 1;
  while (!stopping_ || !runs_.empty()) {
    wake_due();
    start_ready();
    pollfd fds[2] = {{signals_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    timespec wait{};
    timespec* timeout = nullptr;
    if (!stopping_ && !deadlines_.empty()) {
      const auto left = std::max(Clock::duration::zero(), deadlines_.top().first - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &wait;
    }
    // Stopping, the watcher takes no more events and waits for its runs.
    if (ppoll(fds, stopping_ ? 1 : 2, timeout, nullptr) < 0 && errno != EINTR) {
      tell(std::string("cannot wait for events: ") + std::strerror(errno));
      return 1;
    }
    // Events first: a run's end is taken in only after every event that came
    // before it, so that what it judged is known when they are.
    if (!stopping_ && fds[1].revents != 0) read_events();
    if (fds[0].revents != 0) on_signals();
  }
  return 0;
}

// "\xNN" for each control byte, so that a name holding a line feed shows as
// one line.
std::string shown(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> plain_verdict_lines(const std::string& release,
                                             const UploadVerdict& verdict) {
  std::vector<std::string> lines;
  const std::string prefix = shown(release) + "/" + shown(verdict.upload) + ": ";
  std::string_view console = verdict.console;
  while (!console.empty()) {
    std::size_t end = console.find("\r\n");
    const std::size_t next = end == std::string_view::npos ? console.size() : end + 2;
    if (end == std::string_view::npos) end = console.size();
    lines.push_back(prefix + shown(console.substr(0, end)) + "\n");
    console.remove_prefix(next);
  }
  return lines;
}

int watch(const WatchOptions& options) {
  Watcher watcher(options);
  return watcher.run();
}

}  // namespace kuvo
