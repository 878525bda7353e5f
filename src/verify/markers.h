// Names kuvo forms from an SFV entry, and which entries it may act on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/settings.h"
#include "fileset/sfv_reader.h"

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

// Renames `from` to `to`; on failure returns the line that tells the uploader
// why ("Unable to rename a to b: reason."), which the caller emits right after
// the line that announced the rename. nullopt on success, and when `from` is
// gone.
std::optional<std::string> rename_file(const std::string& from, const std::string& to);

// The line that tells why renaming `from` to `to` failed with the errno value
// `error`: "Unable to rename a to b: reason.". Cannot fail.
std::string rename_failure(const std::string& from, const std::string& to, int error);

// Creates the empty marker `marker` unless something already bears its name
// (whoever made it, it is left untouched); on any other failure returns the
// line that tells why ("Unable to create marker m: reason."). nullopt when the
// marker was created or its name was already taken.
std::optional<std::string> create_marker(const std::string& marker);

}  // namespace kuvo
