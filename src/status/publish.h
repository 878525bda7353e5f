// Publishing a release's progress: the console bar, the status directory in
// the release directory, the status file in the base directory, and the
// announce lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/progress.h"
#include "base/settings.h"
#include "fileset/directory_scanner.h"

namespace kuvo {

// The 20-character bar: one "#" per full 5 %, "--all-files-CRC-ok--" when
// complete. `progress` is 0 to 100. Cannot fail.
std::string progress_bar(int progress);

// The 31-character status text "-[NNN%]-[bar]-". Cannot fail.
std::string status_text(int progress);

// True when a directory named `name` in a release directory is one that -G
// replaces: named like a status text, or the completion name. Cannot fail.
bool is_status_directory_name(const Settings& settings, std::string_view name);

// The name the status directory gets: the completion name once the release
// is complete (when one is set), else the status text. Cannot fail.
std::string status_directory_name(const Settings& settings, Progress progress);

// The release directory's path below the base directory with every "/" turned
// into "-"; nullopt when the release directory does not lie below it (the
// texts compared byte for byte, no path resolution).
std::optional<std::string> dashed_release_path(const std::string& base_dir,
                                               const std::string& release_dir);

// Prints the progress and brings the status directory (-G; old ones found in
// `files`, the run's listing of the release directory, which is told of the
// directories removed and made), the status file (-I) and the announce lines
// up to date; failures of the file-system calls are not reported. Ends early,
// without announce lines, when -I is on and the release directory does not
// lie below the base directory.
void publish_status(const Settings& settings, NameList& files, Progress progress, Upload upload);

}  // namespace kuvo
