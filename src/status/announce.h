// Lines appended to the announce file, which another program reads. Their user
// fields are USER, GROUP and UNFO from the environment; with
// uploader_is_owner, the first two are the uploaded file's owner and group
// (by name, else by number, "?" when the file is gone).
#pragma once

#include <string>

#include "base/settings.h"

namespace kuvo {

// Appends "<time> NEWDIR: "<release dir> - Expecting <total> files" <user
// fields>"; an announce file that cannot be opened is skipped silently.
void write_expecting_line(const Settings& settings, int total);

// Appends "<time> NEWDIR: "<release dir> <event>" <user fields>"; an announce
// file that cannot be opened is skipped silently.
void write_status_line(const Settings& settings, const std::string& event);

}  // namespace kuvo
