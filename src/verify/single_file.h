// Single-file mode: verifying one uploaded file against the release's SFV.
#pragma once

#include "base/exit_status.h"
#include "base/settings.h"
#include "verify/release.h"

namespace kuvo {

// Checks the upload named by KUVO_FILE and returns the run's exit status:
// crc_okay or release_complete on a CRC match, no_usable_sfv when there is no
// usable SFV, set_aside when the file is not listed or cannot be read (it then
// carries the untested suffix, or a line tells why not), crc_failed on a CRC
// mismatch (after renaming or deleting the file when KUVO_ON_BAD asks), and
// being_written, with nothing changed, when someone is still writing the
// upload or wrote to it while it was read.
ExitStatus check_uploaded_file(const Settings& settings);

// The same with what the run knows of the release already: `release`'s
// listing when it was read (else the directory is listed first) and its SFV
// when it was read under the name the listing calls for. Brings `release` up
// to date with the run's own changes, so that the next upload's check can go
// on from it as from a fresh listing.
ExitStatus check_uploaded_file(const Settings& settings, Release& release);

}  // namespace kuvo
