// The ignore list: wildcard patterns naming SFV entries that do not count
// towards a release's completeness.
#pragma once

#include <string_view>

namespace kuvo {

// True when the whole `name` matches the whole `pattern`, letters folded; a
// malformed pattern fails at its malformed spot, like a mismatch.
bool match_pattern(std::string_view name, std::string_view pattern);

// True when one of the space-separated patterns of `ignore_list` matches
// `name`; a list of spaces only ignores nothing. Cannot fail.
bool is_ignored(std::string_view ignore_list, std::string_view name);

}  // namespace kuvo
