// Single-file mode: verifying one uploaded file against the release's SFV.
#pragma once

#include "base/settings.h"

namespace kuvo {

// Checks the upload named by KUVO_FILE and returns the run's exit status:
// 2 or 3 on a CRC match (3 when the release is complete), 4 when there is no
// usable SFV, 5 when the file is not listed or cannot be read (it then carries
// the untested suffix), 6 on a CRC mismatch.
int check_uploaded_file(const Settings& settings);

}  // namespace kuvo
