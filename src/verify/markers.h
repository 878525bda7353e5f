// Names kuvo forms from an SFV entry, and which entries it may act on.
#pragma once

#include <string>
#include <string_view>

#include "fileset/sfv_reader.h"
#include "run/settings.h"

namespace kuvo {

// The missing marker of an SFV entry: its name as the SFV spells it followed by
// the missing suffix. Cannot fail.
std::string missing_marker(const Settings& settings, std::string_view file_name);

// True when the entry's name stays inside the release directory. An uploaded
// SFV may list '../other/x' or '/etc/x'; kuvo never creates, removes or renames
// anything because of such a name.
bool stays_in_release(std::string_view file_name);

// True when the entry counts towards the release: it names a file inside the
// release directory and no ignore pattern matches it.
bool counts_towards_release(const Settings& settings, const SfvEntry& entry);

}  // namespace kuvo
