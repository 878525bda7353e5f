// What kuvo says when an administrator asks it about itself from a shell,
// instead of an upload server running it after an upload.
#pragma once

#include <optional>
#include <string>

namespace kuvo {

// The summary printed for "--help": synopsis, switches, variables with their
// defaults, and exit statuses; cannot fail.
std::string usage_text();

// When argv[1] is exactly "--help" or "--version", writes the usage summary or
// "kuvo <version>" to standard output and returns the exit status (0, or 1
// when standard output cannot be written); for every other command line it
// returns nothing and has touched nothing.
std::optional<int> handle_info_argument(int argc, const char* const* argv);

// When standard error is a terminal, a person rather than an upload server
// started kuvo: points them to "--help" there, leaving standard output, which
// a server relays, as it is; writes nothing otherwise and cannot fail.
void point_to_help_on_terminal();

}  // namespace kuvo
