// kuvo: run by an upload server after every completed upload into a release
// directory. One run handles one upload and ends; its console text goes to the
// uploader and its exit status to the server.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "base/case_fold.h"
#include "base/emit.h"
#include "base/exit_status.h"
#include "run/admin_command.h"
#include "run/banner.h"
#include "run/create_command.h"
#include "run/environment.h"
#include "run/memory.h"
#include "run/usage.h"
#include "run/watch_command.h"
#include "verify/sfv_arrival.h"
#include "verify/single_file.h"

using namespace kuvo;

namespace {

// Makes the release directory `path` the working directory; false when it
// cannot. Its last component is never followed as a link, trailing slashes
// or not: a user who may replace the release directory by a link to another
// directory would otherwise have a run as root change that one.
bool enter_release_directory(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  constexpr int kHow = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), O_RDONLY | kHow);
  // A directory the run may search but not read is entered as chdir enters it.
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_PATH | kHow);
  if (fd < 0) return false;
  const bool entered = fchdir(fd) == 0;
  close(fd);
  return entered;
}

}  // namespace

int main(int argc, char** argv) {
  // An administrator asking from a shell gets an answer and nothing else.
  if (std::optional<int> status = handle_info_argument(argc, argv)) return *status;

  install_out_of_memory_handler();
  // A server that stops reading the console must not cut a run short between
  // two file-system changes; the run finishes and reports through its status.
  std::signal(SIGPIPE, SIG_IGN);

  // An administrator writing an SFV file, which gets the mode their umask
  // gives it, as any file they create.
  if (std::optional<int> status = handle_create_command(argc, argv)) return *status;

  // Markers and status directories must get exactly the modes kuvo asks for,
  // so that every user of the upload server may see and clear them.
  umask(0);

  // An administrator checking or repairing releases by hand.
  if (std::optional<int> status = handle_admin_command(argc, argv)) return *status;

  // A watcher standing in for the hook of a server that has none.
  if (std::optional<int> status = handle_watch_command(argc, argv)) return *status;

  std::string banner = unscramble_banner() + "\r\n";
  std::fputs(banner.c_str(), stdout);
  std::fflush(stdout);

  Settings settings;
  if (!load_environment(settings)) {
    point_to_help_on_terminal();
    return exit_code(ExitStatus::setup_error);
  }
  if (!parse_switches(settings, argc, argv)) return exit_code(ExitStatus::setup_error);

  if (!enter_release_directory(settings.release_dir)) {
    emit_message(settings, "CHDIR-Error: Unable to change into dir " + settings.release_dir + ".");
  }

  if (is_sfv_name(settings.uploaded_file)) return exit_code(run_sfv_arrival(settings));
  return exit_code(check_uploaded_file(settings));
}
