#include "run/environment.h"

#include <cstdlib>
#include <string_view>

#include "base/case_fold.h"
#include "base/emit.h"

namespace kuvo {
namespace {

std::optional<std::string> read_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// An empty suffix would make a marker's name equal the file's own name, so that
// laying out markers would remove the uploads themselves: empty counts as unset.
void read_suffix(const char* name, std::string& suffix) {
  std::optional<std::string> value = read_variable(name);
  if (value && !value->empty()) suffix = *value;
}

bool report_unset(const Settings& settings, const char* name) {
  emit_message(settings, std::string("ENV-Error: environment variable ") + name + " is not set");
  return false;
}

// KUVO_ON_BAD, set by a server's wrapper that wants the run to deal with a
// mismatching upload; false when it holds anything but the three words.
bool read_on_bad(Settings& settings) {
  const std::optional<std::string> value = read_variable("KUVO_ON_BAD");
  if (!value || value->empty()) return true;
  if (*value == "rename") {
    settings.on_bad = OnBad::rename;
  } else if (*value == "delete") {
    settings.on_bad = OnBad::remove;
  } else if (*value == "keep") {
    settings.on_bad = OnBad::keep;
  } else {
    emit_message(settings,
                 "ENV-Error: environment variable KUVO_ON_BAD must be rename, delete or keep");
    return false;
  }
  return true;
}

}  // namespace

void load_site_environment(Settings& settings) {
  read_suffix("KUVO_MISSING", settings.missing_suffix);
  read_suffix("KUVO_UNTESTED", settings.untested_suffix);
  read_suffix("KUVO_BAD", settings.bad_suffix);
  settings.completion_name = read_variable("KUVO_COMPLETE");

  // An empty base directory has no last character to test; it counts as unset,
  // so that -I is refused rather than writing status files into the working
  // directory.
  std::optional<std::string> base = read_variable("KUVO_BASEDIR");
  if (base && !base->empty()) {
    if (base->back() != '/') base->push_back('/');
    settings.base_dir = std::move(base);
  }

  if (std::optional<std::string> ignore = read_variable("KUVO_IGNORE")) {
    settings.ignore_list = *ignore + " ";
  }
  settings.announce_file = read_variable("KUVO_ANNOUNCEFILE");
}

bool load_watch_environment(Settings& settings) {
  load_site_environment(settings);
  return read_on_bad(settings);
}

bool load_environment(Settings& settings) {
  std::optional<std::string> file = read_variable("KUVO_FILE");
  std::optional<std::string> dir = read_variable("KUVO_DIR");
  load_site_environment(settings);
  if (!file) return report_unset(settings, "KUVO_FILE");
  if (!dir) return report_unset(settings, "KUVO_DIR");
  if (!read_on_bad(settings)) return false;
  settings.uploaded_file = std::move(*file);
  settings.release_dir = std::move(*dir);
  return true;
}

SwitchUse take_publishing_switch(std::string_view arg, Settings& settings) {
  if (equals_ignoring_case(arg, "-G")) {
    settings.status_dir_switch = true;
  } else if (equals_ignoring_case(arg, "-I")) {
    if (!settings.base_dir) return SwitchUse::needs_base_dir;
    settings.base_dir_switch = true;
  } else if (equals_ignoring_case(arg, "-A0") || equals_ignoring_case(arg, "-A1") ||
             equals_ignoring_case(arg, "-A2")) {
    if (!settings.announce_file) return SwitchUse::needs_announce_file;
    constexpr AnnounceMode kModes[] = {AnnounceMode::arrival, AnnounceMode::completion,
                                       AnnounceMode::every_change};
    settings.announce_mode = kModes[arg[2] - '0'];
  } else {
    return SwitchUse::not_publishing;
  }
  return SwitchUse::taken;
}

bool parse_switches(Settings& settings, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    switch (take_publishing_switch(arg, settings)) {
      case SwitchUse::taken:
        continue;
      case SwitchUse::needs_base_dir:
        emit_message(settings,
                     "CMDLINE-Error: use of switch -I requires the environment variable "
                     "KUVO_BASEDIR to be set");
        return false;
      case SwitchUse::needs_announce_file:
        emit_message(settings,
                     "CMDLINE-Error: use of switch -Ax requires the environment variable "
                     "KUVO_ANNOUNCEFILE to be set");
        return false;
      case SwitchUse::not_publishing:
        break;
    }
    if (equals_ignoring_case(arg, "-U")) {
      settings.untested_mode = true;
    } else if (equals_ignoring_case(arg, "-L")) {
      if (i + 1 >= argc) {
        emit_message(settings, "CMDLINE-Error: use of switch -L requires a filename to be given");
        return false;
      }
      // The next argument is the log path whatever it looks like: '-L -U' logs
      // to a file named '-U'.
      settings.log_switch = true;
      settings.log_path = argv[++i];
    }
  }
  return true;
}

}  // namespace kuvo
