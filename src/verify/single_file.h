// Single-file mode: verifying one uploaded file against the release's SFV.
#pragma once

#include "base/exit_status.h"
#include "base/settings.h"

namespace kuvo {

// Checks the upload named by KUVO_FILE and returns the run's exit status:
// crc_okay or release_complete on a CRC match, no_usable_sfv when there is no
// usable SFV, set_aside when the file is not listed or cannot be read (it then
// carries the untested suffix, or a line tells why not), crc_failed on a CRC
// mismatch (after renaming or deleting the file when KUVO_ON_BAD asks), and
// being_written, with nothing changed, when someone is still writing the
// upload or wrote to it while it was read.
ExitStatus check_uploaded_file(const Settings& settings);

}  // namespace kuvo
