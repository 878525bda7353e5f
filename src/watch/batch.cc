#include "watch/batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_set>

namespace kuvo {
namespace {

// Writes all of `text` with as few calls as the descriptor allows: one for a
// line to a pipe, so that lines of several runs never interleave.
void write_out(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;  // nobody reads: the run goes on regardless
    done += static_cast<std::size_t>(wrote);
  }
}

// The change time of the regular file `name` in the working directory; none
// when it is not there.
std::optional<std::int64_t> changed_at(const std::string& name) {
  struct stat st;
  if (fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

std::vector<std::string> uploads_of(const Batch& batch, const Settings& settings) {
  std::vector<std::string> uploads;
  if (batch.catch_up) uploads = uploads_pending(settings);
  std::unordered_set<std::string> known(uploads.begin(), uploads.end());
  for (const std::string& name : batch.uploads) {
    const auto judged = batch.judged.find(name);
    if (judged != batch.judged.end() && changed_at(name) == judged->second) continue;
    if (known.insert(name).second) uploads.push_back(name);
  }
  return uploads;
}

// One record: the batch's position, the change time, the name's length, the name.
void report_judged(int report, std::uint32_t position, const std::string& name) {
  const std::optional<std::int64_t> changed = changed_at(name);
  if (!changed) return;  // renamed or deleted: no event for this name can repeat the verdict
  const auto length = static_cast<std::uint32_t>(name.size());
  std::string record(sizeof position + sizeof *changed + sizeof length, '\0');
  std::memcpy(record.data(), &position, sizeof position);
  std::memcpy(record.data() + sizeof position, &*changed, sizeof *changed);
  std::memcpy(record.data() + sizeof position + sizeof *changed, &length, sizeof length);
  write_out(report, record + name);
}

void run_batch(const Batch& batch, std::uint32_t position, const WatchOptions& options,
               int report) {
  const int fd = open_place(batch.place);
  if (fd < 0 || fchdir(fd) != 0) {
    // A release removed or replaced since its event needs no run: the watcher
    // hears of its successor on its own.
    if (errno != ENOENT && errno != ESTALE) {
      write_out(STDERR_FILENO,
                "kuvo: cannot enter " + batch.release + ": " + std::strerror(errno) + "\n");
    }
    if (fd >= 0) close(fd);
    return;
  }
  close(fd);
  Settings settings = options.settings;
  settings.release_dir = batch.release;
  const std::vector<std::string> uploads = uploads_of(batch, settings);
  judge_uploads(settings, uploads, [&](const UploadVerdict& verdict) {
    const std::vector<std::string> lines = options.describe
                                               ? options.describe(batch.release, verdict)
                                               : plain_verdict_lines(batch.release, verdict);
    for (const std::string& line : lines) write_out(STDOUT_FILENO, line);
    if (verdict.status != ExitStatus::being_written) report_judged(report, position, verdict.upload);
  });
}

}  // namespace

int open_place(const DirPlace& place) {
  int fd = fcntl(place.area_fd, F_DUPFD_CLOEXEC, 0);
  for (const std::string& part : place.parts) {
    if (fd < 0) return -1;
    const int below = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    close(fd);
    errno = saved;
    fd = below;
  }
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != place.dev || st.st_ino != place.ino)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

pid_t start_batches(const std::vector<Batch>& batches, const WatchOptions& options,
                    const std::vector<int>& close_fds, int report) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const int fd : close_fds) close(fd);
  // SIGTERM and SIGINT stay blocked, as the watcher keeps them: a run is never
  // cut between two changes of the release; the watcher waits for it.
  for (std::size_t i = 0; i < batches.size(); ++i) {
    run_batch(batches[i], static_cast<std::uint32_t>(i), options, report);
  }
  _exit(0);
}

std::vector<JudgedFiles> read_report(int report, std::size_t batches) {
  std::vector<JudgedFiles> judged(batches);
  std::string text;
  char buffer[65536];
  ssize_t got;
  while ((got = pread(report, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  std::uint32_t position;
  std::int64_t changed;
  std::uint32_t length;
  constexpr std::size_t kHead = sizeof position + sizeof changed + sizeof length;
  for (std::size_t at = 0; at + kHead <= text.size();) {
    std::memcpy(&position, text.data() + at, sizeof position);
    std::memcpy(&changed, text.data() + at + sizeof position, sizeof changed);
    std::memcpy(&length, text.data() + at + sizeof position + sizeof changed, sizeof length);
    at += kHead;
    if (position >= batches || at + length > text.size()) break;
    judged[position].insert_or_assign(text.substr(at, length), changed);
    at += length;
  }
  return judged;
}

}  // namespace kuvo
