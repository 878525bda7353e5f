#include "watch/batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

std::vector<std::string> uploads_of(const Batch& batch, const Settings& settings) {
  if (!batch.catch_up) return batch.uploads;
  std::vector<std::string> uploads = uploads_pending(settings);
  std::unordered_set<std::string> known(uploads.begin(), uploads.end());
  for (const std::string& name : batch.uploads) {
    if (known.insert(name).second) uploads.push_back(name);
  }
  return uploads;
}

void run_batch(const Batch& batch, const WatchOptions& options) {
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
                    const std::vector<int>& close_fds) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const int fd : close_fds) close(fd);
  // SIGTERM and SIGINT stay blocked, as the watcher keeps them: a run is never
  // cut between two changes of the release; the watcher waits for it.
  for (const Batch& batch : batches) run_batch(batch, options);
  _exit(0);
}

}  // namespace kuvo
