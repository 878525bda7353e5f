// The line on standard error that shows an administrator how far the reading
// of a --check or --repair has come: files and bytes done, and the rate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "verify/audit.h"

namespace kuvo {

// "12/40 files, 310/1024 MiB, 95.2 MiB/s": the counters as the line shows
// them, `seconds` after reading began. Cannot fail.
std::string meter_text(std::uint64_t files_done, std::uint64_t files_total,
                       std::uint64_t bytes_done, std::uint64_t bytes_total, double seconds);

// Redraws the line a few times a second while files are being read, from a
// thread of its own, and only when standard error is a terminal; otherwise
// it does nothing at all.
class ProgressMeter {
 public:
  explicit ProgressMeter(const ReadCounters& counters);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  // Writes `text` to standard output with the line taken off the terminal
  // first, so that the two never run into each other. Cannot fail.
  void print(const std::string& text);

 private:
  void run();
  void erase();  // with mutex_ held

  const ReadCounters& counters_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool shown_ = false;
  std::thread thread_;
};

}  // namespace kuvo
