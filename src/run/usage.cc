#include "run/usage.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kuvo {

std::string usage_text() {
  return "Usage: kuvo [-U] [-G] [-I] [-A0 | -A1 | -A2] [-L logfile]\n"
         "       kuvo --check [-r] [-v] [-j N] [--json] [DIR...]\n"
         "       kuvo --repair [-r] [-v] [-j N] [--json] [--dry-run] [-G] [-I] [-A0|-A1|-A2]\n"
         "                     [DIR...]\n"
         "       kuvo --create [-r] [-j N] [--crlf] [-o FILE] PATH...\n"
         "       kuvo --watch [--depth N] [--settle S] [-j N] [--on-bad rename|delete|keep]\n"
         "                    [--json] [--user NAME] [-U] [-G] [-I] [-A0|-A1|-A2]\n"
         "                    [-L logfile] DIR...\n"
         "       kuvo --help | --version\n"
         "\n"
         "Run by an upload server after every completed upload into a release\n"
         "directory: checks the upload's CRC-32 against the directory's SFV file,\n"
         "keeps the missing markers and publishes the release's progress.\n"
         "\n"
         "Switches (matched ignoring case; unknown words are skipped):\n"
         "  -U         untested mode: uploads before the SFV get the untested suffix,\n"
         "             and an arriving SFV re-tests them\n"
         "  -G         keep a status directory in the release directory\n"
         "  -I         keep a status file in KUVO_BASEDIR\n"
         "  -A0        announce the SFV's arrival in KUVO_ANNOUNCEFILE\n"
         "  -A1        also announce the release's completion\n"
         "  -A2        also announce every progress change\n"
         "  -L file    append every message, time-stamped, to file\n"
         "\n"
         "Environment:\n"
         "  KUVO_FILE          uploaded file, relative to KUVO_DIR (required)\n"
         "  KUVO_DIR           release directory (required)\n"
         "  KUVO_MISSING       suffix of missing markers (default \"-missing\")\n"
         "  KUVO_UNTESTED      suffix of files waiting for their test (default \"-untested\")\n"
         "  KUVO_BAD           suffix of files failing their re-test (default \"-crc-failed\")\n"
         "  KUVO_COMPLETE      status directory name once complete (default: the 100% text)\n"
         "  KUVO_BASEDIR       directory of per-release status files (-I; no default)\n"
         "  KUVO_IGNORE        space-separated wildcards of SFV entries that do not count\n"
         "                     (default \"*.nfo *.diz *.cue *.bin *.gif *.jpg *.mpg *.m3u\n"
         "                     *.txt *.sfv\")\n"
         "  KUVO_ANNOUNCEFILE  file that announce lines are appended to (-A0 to -A2)\n"
         "  USER GROUP UNFO    the uploader's fields in announce lines (default \"?\")\n"
         "\n"
         "Exit status:\n"
         "    0  SFV processed; release not complete\n"
         "    1  SFV unparsable or release directory unreadable (SFV upload)\n"
         "    2  CRC okay; release not complete\n"
         "    3  release complete\n"
         "    4  no usable SFV in the release directory\n"
         "    5  upload not listed in the SFV or unreadable; renamed to untested\n"
         "    6  CRC mismatch; the server decides what becomes of the upload\n"
         "  255  a required variable is missing, a switch is unusable, or memory ran out\n"
         "\n"
         "Checking and repairing releases by hand (KUVO_FILE and KUVO_DIR not needed;\n"
         "DIR defaults to the current directory):\n"
         "  --check    read every counted file of each release, also under its untested\n"
         "             and bad names, and report; changes nothing\n"
         "  --repair   rename, mark and publish each release as its uploads would have\n"
         "             left it had each file been checked as it arrived\n"
         "  -r         every directory at or below DIR that holds an SFV file\n"
         "  -v         a line for every entry, ok ones too\n"
         "  -j N       read N files at once (default: the number of processors)\n"
         "  --json     one JSON object per release\n"
         "  --dry-run  (--repair) print the plan, change nothing\n"
         "  Exit status: 0 all complete and ok, 1 an entry missing, bad, unreadable\n"
         "  or waiting, 2 a usage error or a release without a usable SFV.\n"
         "\n"
         "Writing an SFV file of files known to be good (to standard output):\n"
         "  --create   list each file with its CRC-32, and the regular files of each\n"
         "             directory in name order; -r also those below it, -j N as above\n"
         "  --crlf     end the lines in CR LF\n"
         "  -o FILE    write FILE, put into place only once it is complete\n"
         "  Exit status: 0 every file listed, 1 a name refused or a file unreadable,\n"
         "  2 a usage error or the SFV could not be written.\n"
         "\n"
         "Watching upload areas for servers that run nothing after an upload (vsftpd,\n"
         "SFTP, rsync); the KUVO_ variables as for a hook run, KUVO_FILE and KUVO_DIR\n"
         "not needed:\n"
         "  --watch    judge every upload completed in a release directory, as a hook\n"
         "             run would, and print each console line as \"RELEASE/FILE: line\"\n"
         "  --depth N  release directories lie N levels below DIR (default 1)\n"
         "  --settle S judge an upload once it was left alone S seconds (default 2)\n"
         "  -j N       runs at once, one per release (default: the number of processors)\n"
         "  --on-bad   what becomes of a mismatching upload (default rename: bad suffix)\n"
         "  --json     one JSON object per verdict instead of the lines\n"
         "  --user     run as this user once the directories are watched\n"
         "  Uploads that completed while nobody watched are judged at start and after\n"
         "  SIGHUP. SIGTERM or SIGINT: the runs under way finish, then exit status 0;\n"
         "  1 when watching cannot start, 2 a usage error.\n"
         "\n"
         "See kuvo(1) for the files kuvo creates and removes.\n";
}

std::optional<int> handle_info_argument(int argc, const char* const* argv) {
  if (argc < 2) return std::nullopt;
  std::string text;
  if (std::strcmp(argv[1], "--help") == 0) {
    text = usage_text();
  } else if (std::strcmp(argv[1], "--version") == 0) {
    text = std::string("kuvo ") + KUVO_VERSION + "\n";
  } else {
    return std::nullopt;
  }
  // A summary that never reached its reader (a full disk, a closed pipe) must
  // not be reported as printed.
  bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  written = std::fflush(stdout) == 0 && written;
  return written ? 0 : 1;
}

void point_to_help_on_terminal() {
  if (isatty(STDERR_FILENO) != 1) return;
  std::fputs(
      "kuvo is run by an upload server, which sets KUVO_FILE and KUVO_DIR; "
      "see 'kuvo --help'.\n",
      stderr);
}

}  // namespace kuvo
