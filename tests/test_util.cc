#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "run/banner.h"

namespace kuvo::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/kuvo-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests take permissions away; give them back so that everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0755);
  }
  chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> snapshot(const std::string& root,
                                            const std::set<std::string>& skip) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> result;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string relative = fs::relative(it->path(), root).string();
    if (skip.count(relative) != 0) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                        std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) state += " " + read_file(it->path());
    if (S_ISLNK(st.st_mode)) state += " -> " + fs::read_symlink(it->path(), error).string();
    result[relative] = state;
  }
  return result;
}

RunResult run_kuvo(const std::map<std::string, std::optional<std::string>>& env,
                   const std::vector<std::string>& args, const std::string& cwd) {
  RunOptions options;
  options.cwd = cwd;
  return run_kuvo(env, args, options);
}

RunResult run_kuvo(const std::map<std::string, std::optional<std::string>>& env,
                   const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : env) {
    if (value) env_strings.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> arg_strings{KUVO_BINARY};
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  // Standard error goes to a file so that neither pipe can fill up and stall
  // the child while the parent drains the other.
  int out_pipe[2];
  if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  // A console nobody reads: the read end is closed before the child exists.
  int unread_pipe[2] = {-1, -1};
  if (options.stdout_unread) {
    if (pipe(unread_pipe) != 0) throw std::runtime_error("pipe failed");
    close(unread_pipe[0]);
  }
  FILE* err_file = std::tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(options.stdout_unread ? unread_pipe[1] : out_pipe[1], STDOUT_FILENO);
    dup2(fileno(err_file), STDERR_FILENO);
    close(out_pipe[0]);
    // With the console elsewhere, the child keeps the capturing pipe open
    // unused, so that its end still tells the parent when the run is over.
    if (options.stdout_unread) {
      close(unread_pipe[1]);
    } else {
      close(out_pipe[1]);
    }
    // kuvo must guard itself against a closed console, whatever it inherits.
    signal(SIGPIPE, SIG_DFL);
    if (options.umask) umask(static_cast<mode_t>(*options.umask));
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    if (options.run_as) {
      const auto id = static_cast<uid_t>(*options.run_as);
      if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  if (options.stdout_unread) close(unread_pipe[1]);
  RunResult result;
  // Drain standard output until the child closes it, killing the child once
  // its time is up; a killed child closes its end too.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(options.timeout_seconds.value_or(120));
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{out_pipe[0], POLLIN, 0};
    int ready = result.timed_out
                    ? 1
                    : poll(&pfd, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready == 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      continue;
    }
    if (ready < 0) continue;
    ssize_t got = read(out_pipe[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.out.append(buffer, static_cast<std::size_t>(got));
  }
  close(out_pipe[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  std::rewind(err_file);
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, err_file)) > 0) result.err.append(buffer, got);
  std::fclose(err_file);
  return result;
}

std::string banner_line() { return unscramble_banner() + "\r\n"; }

}  // namespace kuvo::testing
