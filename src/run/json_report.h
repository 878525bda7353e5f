// --json: one JSON object per release, on one line, for dashboards and bots.
#pragma once

#include <string>
#include <string_view>

#include "run/admin_report.h"

namespace kuvo {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF). Cannot fail.
bool is_valid_utf8(std::string_view bytes);

// The lower-case hexadecimal of `bytes`, two digits each. Cannot fail.
std::string hex_bytes(std::string_view bytes);

// The release as one JSON object and a line feed. File names are bytes: each
// goes under its key as text, with invalid UTF-8 replaced by U+FFFD, and when
// it is not valid UTF-8 also under the key with "_hex" appended, as the
// lower-case hexadecimal of its bytes. Cannot fail.
std::string json_report(const ReleaseOutcome& outcome, AdminCommand command);

}  // namespace kuvo
