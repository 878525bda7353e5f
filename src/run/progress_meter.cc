#include "run/progress_meter.h"

#include <unistd.h>

#include <cstdio>

namespace kuvo {
namespace {

constexpr auto kRedraw = std::chrono::milliseconds(250);

std::string mebibytes(std::uint64_t bytes) { return std::to_string(bytes >> 20); }

void write_stderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string meter_text(std::uint64_t files_done, std::uint64_t files_total,
                       std::uint64_t bytes_done, std::uint64_t bytes_total, double seconds) {
  char rate[32];
  const double per_second = seconds > 0 ? static_cast<double>(bytes_done) / seconds : 0.0;
  std::snprintf(rate, sizeof rate, "%.1f", per_second / (1024.0 * 1024.0));
  return std::to_string(files_done) + "/" + std::to_string(files_total) + " files, " +
         mebibytes(bytes_done) + "/" + mebibytes(bytes_total) + " MiB, " + rate + " MiB/s";
}

ProgressMeter::ProgressMeter(const ReadCounters& counters) : counters_(counters) {
  if (isatty(STDERR_FILENO)) thread_ = std::thread([this] { run(); });
}

ProgressMeter::~ProgressMeter() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  std::lock_guard lock(mutex_);
  erase();
}

void ProgressMeter::print(const std::string& text) {
  std::lock_guard lock(mutex_);
  erase();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void ProgressMeter::erase() {
  if (!shown_) return;
  write_stderr("\r\033[K");
  shown_ = false;
}

void ProgressMeter::run() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kRedraw, [this] { return stopping_; })) {
    const std::uint64_t files_done = counters_.files_done;
    const std::uint64_t files_total = counters_.files_total;
    // Only while files are being read: the rest of the work is quick, and the
    // line would only stand in the way of what is printed meanwhile.
    if (files_done >= files_total) {
      erase();
      continue;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
    write_stderr("\r\033[K" + meter_text(files_done, files_total, counters_.bytes_done,
                                         counters_.bytes_total, elapsed.count()));
    shown_ = true;
  }
}

}  // namespace kuvo
