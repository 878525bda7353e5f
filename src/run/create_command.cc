#include "run/create_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "fileset/sfv_writer.h"
#include "run/admin_command.h"
#include "run/admin_report.h"
#include "run/environment.h"
#include "run/progress_meter.h"
#include "verify/parallel_read.h"

namespace kuvo {
namespace {

std::optional<CreateOptions> usage_error(const std::string& message) {
  const std::string text = "kuvo: " + message + "\nTry 'kuvo --help'.\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  return std::nullopt;
}

void write_stderr(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }

FileNumber file_number(const struct stat& st) {
  return FileNumber{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string unable(const std::string& what, const std::string& path, int error) {
  return "Unable to read " + what + " " + printable(path) + ": " + std::strerror(error) + ".\n";
}

// Collects the files the path arguments name, and says what it cannot list.
class Collector {
 public:
  Collector(const CreateOptions& options, const std::vector<FileNumber>& excluded,
            std::vector<std::string>& complaints)
      : options_(options), excluded_(excluded), complaints_(complaints) {}

  void add_path(const std::string& path, std::vector<CreateInput>& inputs) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      complaints_.push_back(unable("file", path, errno));
    } else if (S_ISDIR(st.st_mode)) {
      std::vector<CreateInput> found;
      add_directory(path, "", found);
      std::sort(found.begin(), found.end(),
                [](const CreateInput& a, const CreateInput& b) { return a.name < b.name; });
      for (const CreateInput& file : found) {
        if (is_kuvos_own(file)) continue;
        add_file(file.name, file.path, nullptr, inputs);
      }
    } else if (!S_ISREG(st.st_mode)) {
      complaints_.push_back("Unable to read file " + printable(path) + ": Not a regular file.\n");
    } else {
      add_file(path, path, &st, inputs);
    }
  }

 private:
  // `name` is what the SFV is to call the file at `path`.
  void add_file(const std::string& name, const std::string& path, const struct stat* known,
                std::vector<CreateInput>& inputs) {
    if (is_sfv_name(name) || is_excluded(path, known)) return;
    if (const SfvNameProblem problem = sfv_name_problem(name); problem != SfvNameProblem::none) {
      refuse(path, sfv_name_problem_text(problem));
      return;
    }
    inputs.push_back(CreateInput{name, path});
  }

  void refuse(const std::string& path, std::string_view why) {
    complaints_.push_back("Unable to list file " + printable(path) +
                          " in the SFV: " + std::string(why) + ".\n");
  }

  // A release directory holds files that kuvo made or renamed, which are not
  // the release's own: listed, a marker would become an entry of its own and
  // a file under the untested or bad suffix an entry no upload ever fills.
  // An empty missing marker is passed over; a file of any size under the
  // other two suffixes holds release bytes not known to be good, so it is
  // told, and the SFV is not called whole. A file named by its own path is
  // listed as asked.
  bool is_kuvos_own(const CreateInput& file) {
    const Settings& site = options_.site;
    if (file.name.ends_with(site.missing_suffix)) {
      struct stat st;
      if (stat(file.path.c_str(), &st) == 0 && st.st_size == 0) return true;
    }
    if (file.name.ends_with(site.untested_suffix)) {
      refuse(file.path, "its name says it still waits for its test");
      return true;
    }
    if (file.name.ends_with(site.bad_suffix)) {
      refuse(file.path, "its name says it failed its test");
      return true;
    }
    return false;
  }

  // The file that the SFV is written to never lists itself.
  bool is_excluded(const std::string& path, const struct stat* known) const {
    if (excluded_.empty()) return false;
    struct stat st;
    if (known == nullptr && stat(path.c_str(), &st) != 0) return false;
    const FileNumber number = file_number(known ? *known : st);
    return std::find(excluded_.begin(), excluded_.end(), number) != excluded_.end();
  }

  // Finds the regular files of `dir`, named `prefix` and their name, and with
  // -r those of the real directories below it; links to directories are not
  // followed, so no loop can form.
  void add_directory(const std::string& dir, const std::string& prefix,
                     std::vector<CreateInput>& found) {
    const std::string base = dir == "." ? "" : dir.ends_with('/') ? dir : dir + "/";
    // A directory that can be read but not searched lists no entry at all.
    struct stat st;
    if (stat((base + ".").c_str(), &st) != 0) {
      complaints_.push_back(unable("directory", dir, errno));
      return;
    }
    errno = 0;
    const NameList listing = scan_directory(dir);
    if (!listing.readable()) {
      complaints_.push_back(unable("directory", dir, errno != 0 ? errno : EIO));
      return;
    }
    for (std::size_t i = 0; i < listing.size(); ++i) {
      const std::string name(listing.name(i));
      const std::string path = base + name;
      if (listing.kind(i) == EntryKind::regular) {
        found.push_back(CreateInput{prefix + name, path});
      } else if (options_.recursive && listing.kind(i) == EntryKind::other &&
                 lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        add_directory(path, prefix + name + "/", found);
      }
    }
  }

  const CreateOptions& options_;
  const std::vector<FileNumber>& excluded_;
  std::vector<std::string>& complaints_;
};

// The temporary file beside -o's FILE, removed when a signal ends the run
// before it is renamed into place. Fixed storage: the handler may use nothing
// else.
char temporary_path[4096];

void remove_temporary_and_die(int signal) {
  if (temporary_path[0] != '\0') unlink(temporary_path);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// The SFV being written: standard output, or a temporary file beside FILE
// that replaces FILE only once every line is in it.
class SfvOutput {
 public:
  // Opens the output; false after a line on standard error.
  bool open(const std::optional<std::string>& file) {
    if (!file) return true;
    final_ = *file;
    const std::size_t slash = final_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : final_.substr(0, slash + 1);
    // A dot in front and no ".sfv" at the end: no listing, no upload server
    // and no hook run takes the unfinished file for the release's SFV.
    std::string temp = dir + "." + final_.substr(dir.size()) + ".XXXXXX";
    if (temp.size() >= sizeof temporary_path) return failed("create", ENAMETOOLONG);
    // The handler first, and mkstemp making the name where it looks: no
    // moment in which the file is there but out of its reach.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, remove_temporary_and_die);
    std::memcpy(temporary_path, temp.c_str(), temp.size() + 1);
    fd_ = mkstemp(temporary_path);
    if (fd_ >= 0) return true;
    temporary_path[0] = '\0';
    return failed("create", errno);
  }

  // Writes `text` and puts the file into place; false after a line on
  // standard error, with no file left but what FILE was before.
  bool finish(const std::string& text) {
    if (final_.empty()) {
      if (write_all(STDOUT_FILENO, text)) return true;
      // A reader that stopped reading (`kuvo --create . | head -1`) took
      // what it wanted: no message, but the status still says the SFV was
      // not all written.
      return errno == EPIPE ? false : failed("write", errno);
    }
    // Modes as any new file gets them, which mkstemp's 0600 is not.
    const mode_t mask = umask(0);
    umask(mask);
    const bool written = write_all(fd_, text) && fchmod(fd_, 0666 & ~mask) == 0 && fsync(fd_) == 0;
    const int error = errno;
    if (close(fd_) != 0 || !written) return discard(written ? errno : error);
    if (rename(temporary_path, final_.c_str()) != 0) return discard(errno);
    temporary_path[0] = '\0';
    return true;
  }

 private:
  static bool write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      done += static_cast<std::size_t>(wrote);
    }
    return true;
  }

  bool discard(int error) {
    unlink(temporary_path);
    temporary_path[0] = '\0';
    return failed("write", error);
  }

  bool failed(const char* verb, int error) const {
    const std::string name = final_.empty() ? "standard output" : printable(final_);
    write_stderr("kuvo: cannot " + std::string(verb) + " " + name + ": " + std::strerror(error) +
                 "\n");
    return false;
  }

  std::string final_;
  int fd_ = -1;
};

// The files the SFV goes to, which it must never list: FILE when it exists,
// else standard output when that is a regular file.
std::vector<FileNumber> output_files(const CreateOptions& options) {
  struct stat st;
  const bool found = options.output ? stat(options.output->c_str(), &st) == 0
                                    : fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode);
  if (!found) return {};
  return {file_number(st)};
}

}  // namespace

std::optional<CreateOptions> parse_create_arguments(int argc, const char* const* argv) {
  CreateOptions options;
  load_site_environment(options.site);
  SharedArguments shared{false, false, processors(), {}};
  for (int i = 2; i < argc; ++i) {
    const SharedWord word = take_shared_word(argc, argv, i, shared);
    if (word == SharedWord::bad_jobs) return usage_error(kBadJobs);
    if (word == SharedWord::taken) continue;
    const std::string_view arg = argv[i];
    if (arg == "--crlf") {
      options.crlf = true;
    } else if (arg == "-o" && i + 1 < argc && argv[i + 1][0] != '\0') {
      options.output = argv[++i];
    } else if (arg == "-o") {
      return usage_error("-o needs a file name");
    } else {
      return usage_error("--create: unknown option '" + std::string(arg) + "'");
    }
  }
  if (shared.paths.empty()) return usage_error("--create needs a file or directory to list");
  options.recursive = shared.recursive;
  options.jobs = shared.jobs;
  options.paths = std::move(shared.paths);
  return options;
}

std::vector<CreateInput> create_inputs(const CreateOptions& options,
                                       const std::vector<FileNumber>& excluded,
                                       std::vector<std::string>& complaints) {
  std::vector<CreateInput> inputs;
  Collector collector(options, excluded, complaints);
  for (const std::string& path : options.paths) collector.add_path(path, inputs);
  return inputs;
}

std::optional<int> handle_create_command(int argc, const char* const* argv) {
  if (argc < 2 || std::strcmp(argv[1], "--create") != 0) return std::nullopt;
  const std::optional<CreateOptions> options = parse_create_arguments(argc, argv);
  if (!options) return 2;

  std::vector<std::string> complaints;
  const std::vector<CreateInput> inputs = create_inputs(*options, output_files(*options), complaints);
  // Before the reading, which may take long, so that an output that cannot
  // be made is told at once.
  SfvOutput output;
  if (!output.open(options->output)) return 2;
  for (const std::string& complaint : complaints) write_stderr(complaint);

  std::vector<ReadJob> jobs(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) jobs[i].name = inputs[i].path;
  ReadCounters counters;
  {
    ProgressMeter meter(counters);
    read_files(jobs, ReadOptions{options->jobs, &counters, nullptr});
  }

  std::string text = sfv_header(KUVO_VERSION, std::time(nullptr), options->crlf);
  bool unreadable = false;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (jobs[i].crc) {
      text += sfv_line(inputs[i].name, *jobs[i].crc, options->crlf);
      continue;
    }
    const int error = jobs[i].open_error != 0 ? jobs[i].open_error : jobs[i].read_error;
    write_stderr(unable("file", inputs[i].path, error != 0 ? error : EIO));
    unreadable = true;
  }
  if (!output.finish(text)) return 2;
  return complaints.empty() && !unreadable ? 0 : 1;
}

}  // namespace kuvo
