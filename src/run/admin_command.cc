#include "run/admin_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "run/environment.h"
#include "run/json_report.h"
#include "run/progress_meter.h"
#include "status/publish.h"
#include "verify/release.h"

namespace kuvo {
namespace {

constexpr unsigned kMostJobs = 1024;

std::optional<AdminOptions> usage_error(const std::string& message) {
  const std::string text = "kuvo: " + message + "\nTry 'kuvo --help'.\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  return std::nullopt;
}

}  // namespace

std::optional<unsigned> parse_jobs(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > kMostJobs) return std::nullopt;
  return value;
}

unsigned processors() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(std::min<long>(online, kMostJobs)) : 1;
}

SharedWord take_shared_word(int argc, const char* const* argv, int& i, SharedArguments& shared) {
  const std::string_view arg = argv[i];
  if (shared.options_end || arg == "-" || !arg.starts_with("-")) {
    shared.paths.emplace_back(arg);
  } else if (arg == "--") {
    shared.options_end = true;
  } else if (arg == "-r") {
    shared.recursive = true;
  } else if (arg.starts_with("-j")) {
    std::string_view number = arg.substr(2);
    if (number.empty() && i + 1 < argc) number = argv[++i];
    const std::optional<unsigned> jobs = parse_jobs(number);
    if (!jobs) return SharedWord::bad_jobs;
    shared.jobs = *jobs;
  } else {
    return SharedWord::other;
  }
  return SharedWord::taken;
}

namespace {

// `name` below `base`, as shown and as used from the directory the command
// was started in.
std::string joined(const std::string& base, const std::string& name) {
  return base == "." ? name : base + "/" + name;
}

}  // namespace

// The path without the slashes it may end in ("rel/" is "rel"); "/" stays.
std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The release's path as an upload server gives it in KUVO_DIR, which status
// files and announce lines are named by: absolute as given, or the relative
// path taken from the directory the command was started in, "." parts left out.
std::string site_path(const std::string& start, const std::string& path) {
  if (path.starts_with("/")) return path;
  std::string result = start == "/" ? "" : start;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    if (!part.empty() && part != ".") result += "/" + part;
    at = end + 1;
  }
  return result.empty() ? "/" : result;
}

// Adds `dir` when it holds an SFV file or cannot be read (so that it is
// reported), then the same for the real directories below it, in name order.
// Links to directories are not followed, so no loop can form.
void walk(const std::string& dir, std::vector<std::string>& found) {
  const NameList listing = scan_directory(dir);
  // A directory that lists but cannot be entered (mode 0644) shows names
  // whose files cannot be looked at: it is reported, never passed over.
  const bool usable = listing.readable() && access(dir.c_str(), X_OK) == 0;
  if (!usable || find_release_sfv(listing)) found.push_back(dir);
  if (!usable) return;
  std::vector<std::string> below;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    if (listing.kind(i) != EntryKind::other) continue;
    const std::string path = joined(dir, std::string(listing.name(i)));
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) below.push_back(path);
  }
  std::sort(below.begin(), below.end());
  for (const std::string& path : below) walk(path, found);
}

namespace {

// Examines, and for a repair repairs, the release at `path`.
ReleaseOutcome handle_release(const AdminOptions& options, const std::string& path, int start_fd,
                              const std::string& start, ReadCounters& counters) {
  ReleaseOutcome outcome;
  outcome.path = path;
  if (fchdir(start_fd) != 0 || chdir(path.c_str()) != 0) {
    outcome.enter_error = errno;
    return outcome;
  }
  Settings settings = options.settings;
  settings.release_dir = site_path(start, path);
  // The messages of the publishing step shared with hook runs ("Upload
  // progress: ...") must not mix with the report on standard output, which
  // scripts read.
  settings.console = stderr;
  ReadResults known;
  const AuditOptions audit{options.jobs, &counters, &known};
  outcome.report = examine_release(settings, audit);
  if (options.command == AdminCommand::check || release_status(outcome) == 2) return outcome;

  outcome.plan = plan_repair(settings, outcome.report);
  outcome.outside_base_dir =
      settings.base_dir_switch && !dashed_release_path(*settings.base_dir, settings.release_dir);
  if (options.command == AdminCommand::repair) {
    apply_repair(outcome.plan);
    const ReleaseReport before = std::move(outcome.report);
    // What the release is now, read again only where bytes are new to this run.
    outcome.report = examine_release(settings, audit);
    publish_examined(settings, before, outcome.report);
  }
  if (!settings.status_dir_switch && !outcome.report.stale_status.empty()) {
    outcome.stale_status_dir = outcome.report.stale_status.front();
  }
  return outcome;
}

// True when `path` has a "." or ".." part, which `pwd -L` does not accept in PWD.
bool has_dot_parts(std::string_view path) {
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(at, end - at);
    if (part == "." || part == "..") return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

// The working directory as the administrator's shell names it: PWD when it
// is absolute and names the same directory as ".", as `pwd -L` takes it, so
// that a release reached through a link keeps the path below KUVO_BASEDIR that
// the server uses; else the physical path. None when neither can be had.
std::optional<std::string> working_directory() {
  struct stat logical;
  struct stat physical;
  const char* pwd = std::getenv("PWD");
  if (pwd != nullptr && pwd[0] == '/' && !has_dot_parts(pwd) && stat(pwd, &logical) == 0 &&
      stat(".", &physical) == 0 && logical.st_dev == physical.st_dev &&
      logical.st_ino == physical.st_ino) {
    return without_trailing_slashes(pwd);
  }
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

namespace {

// Takes the short options bundled in `arg` ("-rv", "-rvj4", "-j 4"), with the
// number of -j from the rest of `arg` or from the next argument; false, after
// the usage error, for a letter it does not know or a bad number.
bool take_short_options(std::string_view arg, int& i, int argc, const char* const* argv,
                        std::string_view command, SharedArguments& shared, bool& verbose) {
  for (std::size_t k = 1; k < arg.size(); ++k) {
    if (arg[k] == 'r') {
      shared.recursive = true;
    } else if (arg[k] == 'v') {
      verbose = true;
    } else if (arg[k] == 'j') {
      std::string_view number = arg.substr(k + 1);
      if (number.empty() && i + 1 < argc) number = argv[++i];
      const std::optional<unsigned> jobs = parse_jobs(number);
      if (!jobs) {
        usage_error(kBadJobs);
        return false;
      }
      shared.jobs = *jobs;
      return true;
    } else {
      usage_error(std::string(command) + ": unknown option '" + std::string(arg) + "'");
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<AdminOptions> parse_admin_arguments(int argc, const char* const* argv) {
  AdminOptions options;
  const std::string_view command = argv[1];
  options.command = command == "--check" ? AdminCommand::check : AdminCommand::repair;
  load_site_environment(options.settings);
  bool dry_run = false;
  SharedArguments shared{false, false, processors(), {}};
  for (int i = 2; i < argc; ++i) {
    const SharedWord word = take_shared_word(argc, argv, i, shared);
    if (word == SharedWord::bad_jobs) return usage_error(kBadJobs);
    if (word == SharedWord::taken) continue;
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      options.json = true;
    } else if (options.command == AdminCommand::repair && arg == "--dry-run") {
      dry_run = true;
    } else if (arg.starts_with("--")) {
      return usage_error(std::string(command) + ": unknown option '" + std::string(arg) + "'");
    } else {
      const SwitchUse use = options.command == AdminCommand::repair
                                ? take_publishing_switch(arg, options.settings)
                                : SwitchUse::not_publishing;
      if (use == SwitchUse::needs_base_dir) return usage_error("-I needs KUVO_BASEDIR to be set");
      if (use == SwitchUse::needs_announce_file) {
        return usage_error("-A" + std::string(1, arg[2]) + " needs KUVO_ANNOUNCEFILE to be set");
      }
      if (use == SwitchUse::not_publishing &&
          !take_short_options(arg, i, argc, argv, command, shared, options.verbose)) {
        return std::nullopt;
      }
    }
  }
  options.recursive = shared.recursive;
  options.jobs = shared.jobs;
  options.directories = std::move(shared.paths);
  if (dry_run) options.command = AdminCommand::dry_run;
  if (options.directories.empty()) options.directories.emplace_back(".");
  for (std::string& dir : options.directories) dir = without_trailing_slashes(dir);
  return options;
}

std::vector<std::string> release_directories(const AdminOptions& options) {
  if (!options.recursive) return options.directories;
  std::vector<std::string> releases;
  for (const std::string& dir : options.directories) {
    const std::size_t before = releases.size();
    walk(dir, releases);
    // Nothing below: the directory itself is reported as holding no SFV.
    if (releases.size() == before) releases.push_back(dir);
  }
  return releases;
}

std::optional<int> handle_admin_command(int argc, const char* const* argv) {
  if (argc < 2 || (std::strcmp(argv[1], "--check") != 0 && std::strcmp(argv[1], "--repair") != 0)) {
    return std::nullopt;
  }
  const std::optional<AdminOptions> options = parse_admin_arguments(argc, argv);
  if (!options) return 2;

  const int start_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::optional<std::string> start = working_directory();
  if (start_fd < 0 || !start) {
    std::fprintf(stderr, "kuvo: cannot read the working directory: %s\n", std::strerror(errno));
    return 2;
  }
  ReadCounters counters;
  int status = 0;
  {
    ProgressMeter meter(counters);
    for (const std::string& path : release_directories(*options)) {
      const ReleaseOutcome outcome = handle_release(*options, path, start_fd, *start, counters);
      meter.print(options->json ? json_report(outcome, options->command)
                                : text_report(outcome, options->verbose));
      status = std::max(status, release_status(outcome));
    }
  }
  close(start_fd);
  return status;
}

}  // namespace kuvo
