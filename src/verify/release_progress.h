// How complete a release is, and the end every run shares: publishing that
// figure and turning it into the exit status.
#pragma once

#include <optional>

#include "base/exit_status.h"
#include "base/progress.h"
#include "base/settings.h"
#include "verify/release.h"

namespace kuvo {

// The share of the release's counted SFV entries whose missing marker is gone
// and whose file is there, with their number. The run's listing is taken
// afresh before a completion is told, and when only markers stand in the way
// or the directory changed since it was listed (other runs clear their markers
// meanwhile); none, after emitting why, when that fresh listing cannot be read.
std::optional<Progress> compute_progress(const Settings& settings, Release& release);

// Computes the progress, publishes it when a publishing setting is on, and
// returns the run's exit status: release_complete, else crc_okay for a
// release file or sfv_processed for an SFV.
ExitStatus finish_run(const Settings& settings, Release& release, Upload upload);

}  // namespace kuvo
