// The process-wide record of what the upload server told this run, through its
// environment and the switches written into its configuration.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace kuvo {

// Which announce lines a run writes (switches -A0, -A1, -A2).
enum class AnnounceMode {
  off,          // no switch: no announce line at all
  arrival,      // -A0: the expecting line when the SFV arrives
  completion,   // -A1: also the status line once the release is complete
  every_change  // -A2: also the status line after every check
};

// What a run does itself with an upload whose CRC does not match (KUVO_ON_BAD).
// A server's wrapper that would rename or delete the file after the run could
// catch a re-upload of it being written; the run does it while it holds the
// file (see FileUnderTest).
enum class OnBad {
  server_decides,  // unset: the file keeps its name and the exit status tells
  keep,            // keep: the same, and a line says so
  rename,          // rename: the file gets the bad suffix
  remove           // delete: the file is deleted
};

struct Settings {
  bool untested_mode = false;      // -U
  bool status_dir_switch = false;  // -G
  bool base_dir_switch = false;    // -I
  AnnounceMode announce_mode = AnnounceMode::off;
  bool log_switch = false;  // -L
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
  OnBad on_bad = OnBad::server_decides;      // KUVO_ON_BAD
  // True where no server tells who uploaded (the watcher): announce lines
  // then name the uploaded file's owner and group instead of USER and GROUP.
  bool uploader_is_owner = false;

  // Where the run's messages go: standard output for a hook run, whose server
  // relays it; standard error for an administrator's command, whose report
  // owns standard output.
  std::FILE* console = stdout;
};

// True when at least one publishing setting is on: an announce mode, -G or -I.
constexpr bool publishing_enabled(const Settings& settings) {
  return settings.announce_mode != AnnounceMode::off || settings.status_dir_switch ||
         settings.base_dir_switch;
}

}  // namespace kuvo
