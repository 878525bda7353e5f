#include "run/watch_command.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/case_fold.h"
#include "run/admin_command.h"
#include "run/environment.h"
#include "run/json_report.h"

namespace kuvo {
namespace {

constexpr int kDeepest = 16;
constexpr double kLongestSettle = 86400;

std::optional<WatchOptions> usage_error(const std::string& message) {
  const std::string text = "kuvo: --watch: " + message + "\nTry 'kuvo --help'.\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  return std::nullopt;
}

// The same for a word of take_option().
bool refuse(const std::string& message) {
  usage_error(message);
  return false;
}

std::optional<int> whole_number(std::string_view text, int least, int most) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < least || value > most) return std::nullopt;
  return value;
}

// Seconds as digits with at most one point: "2", "0.5", ".25".
std::optional<std::chrono::nanoseconds> seconds(std::string_view text) {
  if (text.empty() || text == "." || text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text.size() > 16) {
    return std::nullopt;
  }
  const double value = std::strtod(std::string(text).c_str(), nullptr);
  if (!(value >= 0 && value <= kLongestSettle)) return std::nullopt;
  return std::chrono::nanoseconds(static_cast<long long>(std::llround(value * 1e9)));
}

std::optional<OnBad> on_bad_word(std::string_view word) {
  if (word == "rename") return OnBad::rename;
  if (word == "delete") return OnBad::remove;
  if (word == "keep") return OnBad::keep;
  return std::nullopt;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; none when
// `arg` is not the option or no value follows.
std::optional<std::string_view> value_of(std::string_view arg, std::string_view name, int& i,
                                         int argc, const char* const* argv, bool& missing) {
  if (arg == name) {
    if (i + 1 >= argc) {
      missing = true;
      return std::nullopt;
    }
    return std::string_view(argv[++i]);
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    return arg.substr(name.size() + 1);
  }
  return std::nullopt;
}

// Takes the option at argv[i] (moving `i` past its value); false, after the
// usage error, for one it does not know or a bad value.
bool take_option(WatchOptions& options, int& i, int argc, const char* const* argv) {
  const std::string_view arg = argv[i];
  bool missing = false;
  if (const auto depth = value_of(arg, "--depth", i, argc, argv, missing)) {
    const std::optional<int> n = whole_number(*depth, 1, kDeepest);
    if (!n) return refuse("--depth needs a number from 1 to 16");
    options.depth = *n;
  } else if (const auto settle = value_of(arg, "--settle", i, argc, argv, missing)) {
    const std::optional<std::chrono::nanoseconds> time = seconds(*settle);
    if (!time) return refuse("--settle needs seconds from 0 to 86400, such as 2 or 0.5");
    options.settle = *time;
  } else if (const auto word = value_of(arg, "--on-bad", i, argc, argv, missing)) {
    const std::optional<OnBad> on_bad = on_bad_word(*word);
    if (!on_bad) return refuse("--on-bad needs rename, delete or keep");
    options.settings.on_bad = *on_bad;
  } else if (const auto user = value_of(arg, "--user", i, argc, argv, missing)) {
    if (user->empty()) return refuse("--user needs a user name");
    options.user = std::string(*user);
  } else if (missing) {
    return refuse(std::string(arg) + " needs a value");
  } else if (arg == "--json") {
    options.describe = json_verdict_lines;
  } else if (equals_ignoring_case(arg, "-U")) {
    options.settings.untested_mode = true;
  } else if (equals_ignoring_case(arg, "-L")) {
    if (i + 1 >= argc) return refuse("-L needs a file name");
    options.settings.log_switch = true;
    options.settings.log_path = argv[++i];
  } else {
    switch (take_publishing_switch(arg, options.settings)) {
      case SwitchUse::taken:
        return true;
      case SwitchUse::needs_base_dir:
        return refuse("-I needs KUVO_BASEDIR to be set");
      case SwitchUse::needs_announce_file:
        return refuse("-A" + std::string(1, arg[2]) + " needs KUVO_ANNOUNCEFILE to be set");
      case SwitchUse::not_publishing:
        return refuse("unknown option '" + std::string(arg) + "'");
    }
  }
  return true;
}

const char* verdict_word(ExitStatus status) {
  switch (status) {
    case ExitStatus::sfv_processed:
      return "sfv_processed";
    case ExitStatus::sfv_unusable:
      return "sfv_unusable";
    case ExitStatus::crc_okay:
      return "ok";
    case ExitStatus::release_complete:
      return "complete";
    case ExitStatus::no_usable_sfv:
      return "no_sfv";
    case ExitStatus::set_aside:
      return "set_aside";
    case ExitStatus::crc_failed:
      return "bad";
    case ExitStatus::being_written:
      return "being_written";
    case ExitStatus::setup_error:
      break;
  }
  return "error";
}

}  // namespace

std::optional<WatchOptions> parse_watch_arguments(int argc, const char* const* argv) {
  WatchOptions options;
  // The watcher has no server to act on a mismatch: unless told otherwise it
  // gives the upload its bad name, as the server recipes' wrappers do.
  options.settings.on_bad = OnBad::rename;
  options.settings.console = stderr;
  if (!load_watch_environment(options.settings)) return std::nullopt;
  SharedArguments shared{false, false, processors(), {}};
  for (int i = 2; i < argc; ++i) {
    const int at = i;
    const SharedWord word = take_shared_word(argc, argv, i, shared);
    if (word == SharedWord::bad_jobs) return usage_error(kBadJobs);
    // -r has no meaning here: the depth says where releases lie.
    if (shared.recursive) return usage_error("unknown option '" + std::string(argv[at]) + "'");
    if (word == SharedWord::other && !take_option(options, i, argc, argv)) return std::nullopt;
  }
  options.jobs = shared.jobs;
  if (shared.paths.empty()) return usage_error("name at least one directory to watch");
  const std::optional<std::string> start = working_directory();
  for (const std::string& dir : shared.paths) {
    if (!start && !dir.starts_with("/")) return usage_error("cannot read the working directory");
    options.dirs.push_back(without_trailing_slashes(site_path(start.value_or("/"), dir)));
  }
  options.settings.console = stdout;
  // No server tells who uploaded: the file's owner did.
  options.settings.uploader_is_owner = true;
  return options;
}

std::vector<std::string> json_verdict_lines(const std::string& release,
                                            const UploadVerdict& verdict) {
  // In the order a reader scans them: where, what, how it ended, what was said.
  using json = nlohmann::ordered_json;
  json object = json::object();
  object["release"] = release;
  if (!is_valid_utf8(release)) object["release_hex"] = hex_bytes(release);
  object["file"] = verdict.upload;
  if (!is_valid_utf8(verdict.upload)) object["file_hex"] = hex_bytes(verdict.upload);
  object["status"] = static_cast<int>(verdict.status);
  object["verdict"] = verdict_word(verdict.status);
  json lines = json::array();
  std::string_view console = verdict.console;
  while (!console.empty()) {
    const std::size_t end = console.find("\r\n");
    lines.push_back(std::string(console.substr(0, end)));
    console.remove_prefix(end == std::string_view::npos ? console.size() : end + 2);
  }
  object["lines"] = std::move(lines);
  // Replacing invalid UTF-8 instead of throwing: the names' bytes are under "_hex".
  return {object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"};
}

std::optional<int> handle_watch_command(int argc, const char* const* argv) {
  if (argc < 2 || std::strcmp(argv[1], "--watch") != 0) return std::nullopt;
  const std::optional<WatchOptions> options = parse_watch_arguments(argc, argv);
  if (!options) return 2;
  return watch(*options);
}

}  // namespace kuvo
