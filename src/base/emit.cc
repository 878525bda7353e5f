#include "base/emit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "base/settings.h"

namespace kuvo {

std::string time_stamp() {
  std::time_t now = std::time(nullptr);
  char buffer[64];  // ctime_r needs 26 bytes; the rest is headroom.
  if (now == static_cast<std::time_t>(-1) || ctime_r(&now, buffer) == nullptr) return {};
  std::string text(buffer);
  if (std::string::size_type end = text.rfind('\n'); end != std::string::npos) text.resize(end);
  return text;
}

namespace {

// A write that fails part-way (a full disk) leaves a cut line behind, and the
// next line appended, by this run or another, would be glued onto it. So the
// bytes that did land are cut off again, provided nothing was appended behind
// them meanwhile: cutting then would take another run's line with them.
void take_back(int fd, std::size_t landed) {
  const off_t end = lseek(fd, 0, SEEK_CUR);  // with O_APPEND, just behind our bytes
  struct stat st;
  if (end < static_cast<off_t>(landed) || fstat(fd, &st) != 0 || st.st_size != end) return;
  // A truncation that fails leaves the cut line; nothing else could mend it.
  int ignored = ftruncate(fd, end - static_cast<off_t>(landed));
  (void)ignored;
}

}  // namespace

bool append_line_to_file(const std::string& path, std::string_view line) {
  // Opened without blocking, so that a FIFO nobody reads in place of the log
  // or announce file is skipped like any file that cannot be opened, instead
  // of stalling the run.
  int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) return false;
  // O_APPEND makes the single write land whole at the end, even when other
  // runs append to the same file at the same moment.
  std::size_t landed = 0;
  bool ok = true;
  while (landed < line.size()) {
    ssize_t written = write(fd, line.data() + landed, line.size() - landed);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ok = false;
      break;
    }
    landed += static_cast<std::size_t>(written);
  }
  if (!ok && landed > 0) take_back(fd, landed);
  close(fd);
  return ok;
}

void emit_message(const Settings& settings, std::string_view text, LineEnd end) {
  const bool line_end = end == LineEnd::crlf;
  std::fwrite(text.data(), 1, text.size(), settings.console);
  if (line_end) std::fputs("\r\n", settings.console);
  std::fflush(settings.console);

  if (!settings.log_switch) return;
  std::string entry = time_stamp() + " - ";
  entry.append(text);
  if (line_end) entry.push_back('\n');
  append_line_to_file(settings.log_path, entry);
}

}  // namespace kuvo
