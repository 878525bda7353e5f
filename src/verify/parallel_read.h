// Reading many files to their CRC-32s at once, with a few threads: the reading
// behind --check, --repair and --create.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace kuvo {

// Counters of the reading work, for a progress line shown while it goes on;
// the totals are set before reading starts.
struct ReadCounters {
  std::atomic<std::uint64_t> files_total{0};
  std::atomic<std::uint64_t> bytes_total{0};
  std::atomic<std::uint64_t> files_done{0};
  std::atomic<std::uint64_t> bytes_done{0};
};

// A file's device, inode, size and modification time: a rename keeps all
// four, a rewrite or a replacement changes one at least.
using FileIdentity = std::tuple<std::uint64_t, std::uint64_t, std::int64_t, std::int64_t>;

// The identity of the regular file `name` denotes (following a link), with its
// size; none when it does not denote one or cannot be looked at.
std::optional<FileIdentity> identity_of(const std::string& name, std::uint64_t* size = nullptr);

// Files already read in this command, by identity, so that a release
// examined again after its repair is not read twice.
using ReadResults = std::map<FileIdentity, std::uint32_t>;

struct ReadOptions {
  unsigned jobs = 1;                 // files read at once, one thread each
  ReadCounters* counters = nullptr;  // updated as files are read, when given
  ReadResults* known = nullptr;      // consulted and extended, when given
};

// One file to be read, once, however many entries and names lead to it.
struct ReadJob {
  std::string name;
  std::optional<FileIdentity> identity;  // as it stood before reading
  std::uint64_t size = 0;
  std::optional<std::uint32_t> crc;
  int open_error = 0;  // errno of a failed open; 0 when it opened
  int read_error = 0;  // errno of a failed read, when it opened; 0 when none is known
  bool cacheable = false;
};

// Reads every job's file (by its `name`) to its CRC-32 as a hook run would,
// largest first, with up to `options.jobs` threads; a job whose file is known
// by its identity is not read again. A file that cannot be opened or read to
// its end is left without a `crc`, with the errno saying why when known.
void read_files(std::vector<ReadJob>& jobs, const ReadOptions& options);

}  // namespace kuvo
