// Judging a release's uploads in one go, as the watcher's runs do: the checks
// of one hook run per upload, sharing one listing of the release directory and
// one reading of its SFV; and finding the uploads that completed while no one
// was watching.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "base/settings.h"

namespace kuvo {

// What one upload's run said and how it ended.
struct UploadVerdict {
  std::string upload;   // the name judged, as in KUVO_FILE
  ExitStatus status;    // what a hook run for it alone would return
  std::string console;  // its console lines exactly as a hook run prints them ("...\r\n" each),
                        // banner excluded
};

// Judges `uploads` (names in the working directory, which is the release directory) in the given
// order, exactly as one hook run per name would (single-file check, or SFV arrival for an SFV
// name), with one listing and one SFV reading for the whole batch; `told` gets each verdict as soon
// as it stands. Cannot fail otherwise: a run's own failures are in its status and lines.
//
// The listing serves the next upload only while it answers as a fresh one
// would: the directory's time shows no change by others since it was listed
// or since the batch's own last run ended, the upload is in it, and nothing
// the batch added to it (an SFV's name, or an untested name before an
// arrival's re-test) would stand elsewhere in the directory's order. Otherwise,
// and after every SFV arrival (many changes, and a re-test that may take
// long), the next upload lists the directory afresh, as its hook run would.
// Changes others make while a run changes the directory itself are seen only
// by a later listing; like anything a listing misses, they can only make a run
// report less progress, and a completion is told only once a fresh listing
// agrees. The SFV is read again when another one is called for, and when
// others changed the directory or the batch renamed a file to an SFV's name.
void judge_uploads(const Settings& settings, const std::vector<std::string>& uploads,
                   const std::function<void(const UploadVerdict&)>& told);

// The uploads of the release in the working directory that completed while no one was watching, in
// the order a hook would have judged them: the SFV first when its arrival was never handled, then
// every listed file that is there while its missing marker still is (a hook run removes the marker
// when it judges the file), oldest modification first. Files already judged are not read. Empty
// when there is nothing to do or the directory cannot be read.
//
// The arrival counts as never handled when a counted entry whose file is
// absent has no missing marker (an arrival lays one out for each, but for a
// name a marker is never laid out under: one the SFV lists itself, or one too
// long for the directory), or, with -G, when no status directory bears the
// name the release's markers call for (an arrival leaves one, and every run
// after it that changes the progress replaces it). Without -G, a release whose
// SFV and files all arrived unwatched shows no such sign, since it looks
// exactly like a handled release whose files all verified.
//
// When the arrival was never handled, every listed file that is there follows
// it, marker or not: no marker was ever laid out for a file that came with its
// SFV, and the arrival would count such a file as verified unread. A file
// deleted after it verified (or a status directory removed by hand) is taken
// the same way, and its release's files are then read again.
std::vector<std::string> uploads_pending(const Settings& settings);

}  // namespace kuvo
