// Reading the run's settings from the environment the upload server set and
// the switches written into its configuration.
#pragma once

#include <string_view>

#include "base/settings.h"

namespace kuvo {

// Fills `settings` from the KUVO_ variables that describe the site rather than
// one upload: suffixes, completion name, base directory, ignore list, announce
// file. Cannot fail.
void load_site_environment(Settings& settings);

// Fills `settings` as load_site_environment() does, and from KUVO_ON_BAD;
// returns false, after emitting an ENV-Error, when KUVO_ON_BAD is not one of
// rename, delete and keep. KUVO_FILE and KUVO_DIR are not read: a watcher
// learns the upload and its directory from the file system.
bool load_watch_environment(Settings& settings);

// Fills `settings` from the KUVO_ variables; returns false, after emitting an
// ENV-Error, when KUVO_FILE or KUVO_DIR is unset or KUVO_ON_BAD is not one of
// rename, delete and keep.
bool load_environment(Settings& settings);

// What became of an argument offered as a publishing switch.
enum class SwitchUse {
  taken,                 // -G, -I or -A0/-A1/-A2, in any case, applied to the settings
  not_publishing,        // some other word; the settings are unchanged
  needs_base_dir,        // -I without KUVO_BASEDIR; the settings are unchanged
  needs_announce_file    // -Ax without KUVO_ANNOUNCEFILE; the settings are unchanged
};

// Applies `arg` to `settings` when it is a publishing switch, the one reading
// of -G, -I and -A0/1/2 shared by hook runs and the administrator's commands;
// fails as the result says.
SwitchUse take_publishing_switch(std::string_view arg, Settings& settings);

// Applies the switches argv[1..argc-1] to `settings`; returns false, after
// emitting a CMDLINE-Error, when a switch lacks the setting or argument it needs.
bool parse_switches(Settings& settings, int argc, const char* const* argv);

}  // namespace kuvo
