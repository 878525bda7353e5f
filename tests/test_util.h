// Helpers for tests that work on a real temporary release directory and run
// the real kuvo executable.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kuvo::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& contents);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
bool is_directory(const std::string& path);
// Sorted entry names of `dir`, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir);
// Everything below `root` except what `skip` names, by path relative to
// `root`: kind, mode, size, modification time and contents or link target.
std::map<std::string, std::string> snapshot(const std::string& root,
                                            const std::set<std::string>& skip = {});

struct RunResult {
  std::string out;         // standard output
  std::string err;         // standard error
  int status = -1;         // exit status, or -1 when the process did not exit normally
  bool timed_out = false;  // killed because it outran its time
};

struct RunOptions {
  std::string cwd;                 // working directory of the run, when not empty
  std::optional<unsigned> run_as;  // user and group id to run as (the caller must be root)
  // The run is killed after this long; unset means the default of 120 s. An
  // explicit limit always holds. Limits guard against hangs, far above a run's
  // normal time, and never check speed.
  std::optional<int> timeout_seconds;
  std::optional<unsigned> umask;  // file-creation mask the run starts with
  bool stdout_unread = false;     // standard output is a pipe whose reader is already gone
};

// Runs the kuvo executable with `args` in a clean environment holding only
// `env` (a variable mapped to nullopt is left unset); the working directory is
// `cwd` when given.
RunResult run_kuvo(const std::map<std::string, std::optional<std::string>>& env,
                   const std::vector<std::string>& args, const std::string& cwd = "");

// The same, with a time limit and optionally as another user; a run that does
// not end in time is killed and reported as timed out.
RunResult run_kuvo(const std::map<std::string, std::optional<std::string>>& env,
                   const std::vector<std::string>& args, const RunOptions& options);

// The banner line every run starts with.
std::string banner_line();

}  // namespace kuvo::testing
