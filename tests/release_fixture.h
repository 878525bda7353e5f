// A release directory in a fresh sandbox, and runs of the real kuvo in it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"

namespace kuvo::testing {

class ReleaseFixture {
 public:
  ReleaseFixture();

  // The sandbox holds the release directory "rel", the base directory "site"
  // and the announce file "announce.log".
  std::string release() const { return sandbox_ / "rel"; }
  std::string in_release(const std::string& name) const { return release() + "/" + name; }
  std::string base() const { return sandbox_ / "site"; }
  std::string announce() const { return sandbox_ / "announce.log"; }
  const TempDir& sandbox() const { return sandbox_; }

  // Writes a file into the release directory.
  void put(const std::string& name, const std::string& contents) const;
  // An SFV line for `contents` under `name`, as uploaders' tools write it.
  static std::string sfv_line(const std::string& name, const std::string& contents);
  static std::uint32_t crc_of(const std::string& contents);

  // Runs kuvo for the upload `file` with `args`; `env` adds to or overrides
  // KUVO_FILE, KUVO_DIR and the user fields.
  RunResult upload(const std::string& file, const std::vector<std::string>& args = {},
                   const std::map<std::string, std::optional<std::string>>& env = {}) const;

  // The release directory's entries, sorted.
  std::vector<std::string> files() const { return list_dir(release()); }
  std::vector<std::string> announce_lines() const;

 private:
  TempDir sandbox_;
};

// The console text of a run without its banner line.
std::string console(const RunResult& result);

}  // namespace kuvo::testing
