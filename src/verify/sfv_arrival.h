// SFV-arrival mode: the upload is the release's SFV file.
#pragma once

#include "base/settings.h"

namespace kuvo {

// Re-tests every file carrying the untested suffix against the arrived SFV,
// renaming it back on a match and to its bad name on a mismatch; returns
// false, after emitting why, when the SFV or the directory cannot be read.
bool retest_untested_files(const Settings& settings);

// Lays out a missing marker for every counted SFV entry whose file is absent
// and removes it where the file is present; returns false, after emitting why,
// when the SFV or the directory cannot be read.
bool refresh_missing_markers(const Settings& settings);

// The whole mode: re-test (in untested mode), markers, progress, publishing;
// returns the run's exit status: 0, 1 when the SFV or the directory cannot be
// read, or 3 when the release is complete.
int run_sfv_arrival(const Settings& settings);

}  // namespace kuvo
