// Reading the run's settings from the environment the upload server set and
// the switches written into its configuration.
#pragma once

#include "base/settings.h"

namespace kuvo {

// Fills `settings` from the KUVO_ variables that describe the site rather than
// one upload: suffixes, completion name, base directory, ignore list, announce
// file. Cannot fail.
void load_site_environment(Settings& settings);

// Fills `settings` from the KUVO_ variables; returns false, after emitting an
// ENV-Error, when KUVO_FILE or KUVO_DIR is unset or KUVO_ON_BAD is not one of
// rename, delete and keep.
bool load_environment(Settings& settings);

// Applies the switches argv[1..argc-1] to `settings`; returns false, after
// emitting a CMDLINE-Error, when a switch lacks the setting or argument it needs.
bool parse_switches(Settings& settings, int argc, const char* const* argv);

}  // namespace kuvo
