// kuvo --create: writes the SFV file of files known to be good, read as fast
// as --check reads them, in lines that kuvo, cksfv and rhash all read back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/settings.h"

namespace kuvo {

struct CreateOptions {
  bool recursive = false;             // -r: files below directories too
  bool crlf = false;                  // --crlf: lines end in CR LF
  unsigned jobs = 1;                  // -j N: files read at once
  std::optional<std::string> output;  // -o FILE; standard output when none
  std::vector<std::string> paths;     // files and directories, in the order given
  Settings site;  // the suffixes that name kuvo's own files (KUVO_MISSING, _UNTESTED, _BAD)
};

// Reads the command line whose argv[1] is "--create"; none, after a line on
// standard error, for an unknown option, a bad number after -j, -o without a
// file, or no path at all.
std::optional<CreateOptions> parse_create_arguments(int argc, const char* const* argv);

// A file by its device and inode, however it is named.
using FileNumber = std::pair<std::uint64_t, std::uint64_t>;

// A file to be listed: its name in the SFV, and its path from the working
// directory.
struct CreateInput {
  std::string name;
  std::string path;
};

// The files that `options.paths` name, in SFV order: each file as given, each
// directory's regular files (with -r also those below it) in byte order of
// their names relative to it. SFV files, the files `excluded` (device, inode)
// and a directory's empty missing markers are left out; so are names that
// cannot be written, a directory's files under the untested or bad suffix,
// and paths and directories that cannot be read, each told by a line (ending
// in "\n") added to `complaints`. Cannot fail otherwise.
std::vector<CreateInput> create_inputs(const CreateOptions& options,
                                       const std::vector<FileNumber>& excluded,
                                       std::vector<std::string>& complaints);

// When argv[1] is exactly "--create", writes the SFV and returns the exit
// status (0 every file listed, 1 a file refused or unreadable, 2 a usage
// error or an SFV that could not be written, quietly when standard output's
// reader has gone); otherwise returns none and has touched nothing.
std::optional<int> handle_create_command(int argc, const char* const* argv);

}  // namespace kuvo
