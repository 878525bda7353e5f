// kuvo --check and kuvo --repair: an administrator's commands for releases
// already on disk, run by hand from a shell rather than by the upload server.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "run/admin_report.h"

namespace kuvo {

struct AdminOptions {
  AdminCommand command = AdminCommand::check;
  bool recursive = false;                // -r: every directory below holding an SFV file
  bool verbose = false;                  // -v: a line for every entry, ok ones too
  bool json = false;                     // --json
  unsigned jobs = 1;                     // -j N: files read at once
  std::vector<std::string> directories;  // "." when none is given
  Settings settings;                     // the site's KUVO_ variables and the publishing switches
};

// The number after -j: whole, from 1 to 1024; none otherwise.
std::optional<unsigned> parse_jobs(std::string_view text);

// The processors online, the default number of files read at once; 1 when
// the system does not say.
unsigned processors();

// The path without the slashes it may end in ("rel/" is "rel"); "/" stays.
std::string without_trailing_slashes(std::string path);

// The path of a directory as an upload server gives it in KUVO_DIR, which
// status files and announce lines are named by: `path` when absolute, else
// taken from `start`, the directory the command was started in, "." parts
// left out. Cannot fail.
std::string site_path(const std::string& start, const std::string& path);

// The working directory as the administrator's shell names it (PWD when it
// names the same directory, else the physical path); none when neither can
// be had.
std::optional<std::string> working_directory();

// What the words that --check, --repair and --create share set.
struct SharedArguments {
  bool options_end = false;        // after "--", every word is a path
  bool recursive = false;          // -r
  unsigned jobs = 1;               // -j N
  std::vector<std::string> paths;  // in the order given
};

enum class SharedWord { taken, other, bad_jobs };

inline constexpr const char* kBadJobs = "-j needs a number of threads from 1 to 1024";

// Takes argv[i] into `shared` when it is a shared word: a path (any word not
// starting with "-", "-" itself, every word after "--"), "--", "-r" or "-j N"
// (moving `i` past N); `other` for any other word, `bad_jobs` when N is not a
// number from 1 to 1024.
SharedWord take_shared_word(int argc, const char* const* argv, int& i, SharedArguments& shared);

// Reads the command line whose argv[1] is "--check" or "--repair", and the
// KUVO_ variables that describe the site; none, after a line on standard
// error, for an unknown option, a missing or bad number after -j, an option
// --check does not take, or a publishing switch without its variable.
std::optional<AdminOptions> parse_admin_arguments(int argc, const char* const* argv);

// The directories to examine: the ones given, or with -r every directory at
// or below them that holds an SFV file, sorted, with a directory that cannot
// be read below them taken as one to report. Cannot fail.
std::vector<std::string> release_directories(const AdminOptions& options);

// When argv[1] is exactly "--check" or "--repair", runs the command and
// returns its exit status (0 all complete and ok, 1 an entry not ok, 2 a
// usage error or a directory without a usable SFV); otherwise returns none
// and has touched nothing.
std::optional<int> handle_admin_command(int argc, const char* const* argv);

}  // namespace kuvo
