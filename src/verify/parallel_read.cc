#include "verify/parallel_read.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "verify/file_under_test.h"

namespace kuvo {

std::optional<FileIdentity> identity_of(const std::string& name, std::uint64_t* size) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  return FileIdentity{
      st.st_dev, st.st_ino, st.st_size,
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

namespace {

// Reads one file through the path every verification takes; asks whether the
// result may be kept only when it is to be kept (`remember`). Runs in a
// worker thread: it touches only its own job and the atomic counters.
void read_job(ReadJob& job, ReadCounters* counters, bool remember) {
  {
    FileUnderTest file(job.name);
    if (!file.is_open()) {
      job.open_error = errno;
    } else {
      errno = 0;
      job.crc = file.crc32();
      if (!job.crc) job.read_error = errno;
      // Only bytes that are still under the name, unchanged, may stand for it
      // when the release is looked at again; a failed read is tried again.
      job.cacheable =
          remember && job.crc && file.is_named(job.name) && identity_of(job.name) == job.identity;
    }
  }
  if (counters) {
    counters->bytes_done += job.size;
    ++counters->files_done;
  }
}

}  // namespace

// Largest first, each thread taking the next job as it finishes one, so that
// one large file does not hold up the rest.
void read_files(std::vector<ReadJob>& jobs, const ReadOptions& options) {
  std::vector<ReadJob*> queue;
  for (ReadJob& job : jobs) {
    job.identity = identity_of(job.name, &job.size);
    if (options.known && job.identity) {
      if (auto known = options.known->find(*job.identity); known != options.known->end()) {
        job.crc = known->second;
        continue;
      }
    }
    queue.push_back(&job);
  }
  std::stable_sort(queue.begin(), queue.end(),
                   [](const ReadJob* a, const ReadJob* b) { return a->size > b->size; });
  if (options.counters) {
    std::uint64_t bytes = 0;
    for (const ReadJob* job : queue) bytes += job->size;
    options.counters->files_total += queue.size();
    options.counters->bytes_total += bytes;
  }

  std::atomic<std::size_t> next{0};
  auto work = [&queue, &next, counters = options.counters, remember = options.known != nullptr] {
    for (std::size_t i; (i = next++) < queue.size();) read_job(*queue[i], counters, remember);
  };
  const std::size_t threads = std::min<std::size_t>(std::max(options.jobs, 1u), queue.size());
  // The calling thread is one of the workers. A thread the system refuses
  // (too many already) only means fewer files read at once.
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();

  if (!options.known) return;
  for (const ReadJob& job : jobs) {
    if (job.cacheable && job.identity) (*options.known)[*job.identity] = *job.crc;
  }
}

}  // namespace kuvo
