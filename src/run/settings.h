// The process-wide record of what the upload server told this run, through its
// environment and the switches written into its configuration.
#pragma once

#include <optional>
#include <string>

namespace kuvo {

struct Settings {
  bool untested_mode = false;      // -U
  bool status_dir_switch = false;  // -G
  bool base_dir_switch = false;    // -I
  int AnnounceMode = -1;           // -A0, -A1, -A2; -1 means off
  bool log_switch = false;         // -L
  std::string log_path;

  std::string uploaded_file;  // KUVO_FILE, relative to the release directory
  std::string release_dir;    // KUVO_DIR, as the server spelled it
  std::string missing_suffix = "-missing";
  std::string untested_suffix = "-untested";
  std::string bad_suffix = "-crc-failed";
  std::optional<std::string> completion_name;  // KUVO_COMPLETE
  std::optional<std::string> base_dir;         // KUVO_BASEDIR, always ending in '/'
  std::string ignore_list = "*.nfo *.diz *.cue *.bin *.gif *.jpg *.mpg *.m3u *.txt *.sfv ";
  std::optional<std::string> announce_file;  // KUVO_ANNOUNCEFILE
};

// Fills `settings` from the KUVO_ variables; returns false, after emitting an
// ENV-Error, when KUVO_FILE or KUVO_DIR is unset.
bool load_environment(Settings& settings);

// Applies the switches argv[1..argc-1] to `settings`; returns false, after
// emitting a CMDLINE-Error, when a switch lacks the setting or argument it needs.
bool parse_switches(Settings& settings, int argc, const char* const* argv);

}  // namespace kuvo
