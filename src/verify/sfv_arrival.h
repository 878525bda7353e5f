// SFV-arrival mode: the upload is the release's SFV file.
#pragma once

#include "base/exit_status.h"
#include "base/settings.h"
#include "verify/release.h"

namespace kuvo {

// Re-tests every file of `release` carrying the untested suffix against its
// SFV, renaming it back on a match and to its bad name on a mismatch; a rename
// that fails is told and leaves the file as it was. Cannot fail otherwise.
void retest_untested_files(const Settings& settings, Release& release);

// Lays out a missing marker for every counted SFV entry whose file is absent
// and removes it where the file is present, as the listing stood before;
// a marker that cannot be created is told. Cannot fail otherwise.
void refresh_missing_markers(const Settings& settings, Release& release);

// The whole mode: re-test (in untested mode), markers, progress, publishing.
// Returns sfv_processed, release_complete, or sfv_unusable, after emitting
// why, when the SFV or the directory cannot be read.
ExitStatus run_sfv_arrival(const Settings& settings);

// The same with what the run knows of the release already: `release`'s SFV
// when it was read under the uploaded name, and its listing when it was read.
// Brings `release` up to date with the run's own changes.
ExitStatus run_sfv_arrival(const Settings& settings, Release& release);

}  // namespace kuvo
