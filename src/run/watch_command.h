// kuvo --watch: the command line of the long-running watcher, which judges
// uploads for servers that run no hook after an upload.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "watch/watcher.h"

namespace kuvo {

// Reads the command line whose argv[1] is "--watch", and the KUVO_ variables
// that describe the site and KUVO_ON_BAD; none, after a line on standard
// error, for an unknown option, a bad number, no directory, or a publishing
// switch without its variable.
std::optional<WatchOptions> parse_watch_arguments(int argc, const char* const* argv);

// The JSON object, on a line of its own, for one verdict on an upload in
// `release`: {"release","file","status","verdict","lines"}, with "release_hex"
// and "file_hex" holding the exact bytes of a name that is not UTF-8. Cannot
// fail.
std::vector<std::string> json_verdict_lines(const std::string& release,
                                            const UploadVerdict& verdict);

// When argv[1] is exactly "--watch", watches until stopped and returns the
// exit status (0 after SIGTERM or SIGINT, 1 when watching cannot start, 2 for
// a usage error); otherwise returns none and has touched nothing.
std::optional<int> handle_watch_command(int argc, const char* const* argv);

}  // namespace kuvo
