#include "status/publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/emit.h"
#include "fileset/directory_scanner.h"
#include "status/announce.h"

namespace kuvo {
namespace {

constexpr std::size_t kStatusTextLength = 31;

std::string three_digit_percent(int progress) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03d", progress);
  return digits;
}

}  // namespace

bool is_status_directory_name(const Settings& settings, std::string_view name) {
  const bool status_text = name.size() == kStatusTextLength && name.starts_with("-[");
  return status_text || (settings.completion_name && name == *settings.completion_name);
}

namespace {

// Replaces the release's status directory; `files` is the run's listing of the
// release directory, kept as a fresh listing would show it for the steps after.
// Only empty directories go: one that holds anything stays, and then stands
// for the new progress if it has its name.
void refresh_status_directory(const Settings& settings, NameList& files, Progress progress) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files.kind(i) == EntryKind::other && is_status_directory_name(settings, files.name(i)) &&
        rmdir(std::string(files.name(i)).c_str()) == 0) {
      files.remove(i);
    }
  }
  const std::string name = status_directory_name(settings, progress);
  if (mkdir(name.c_str(), 0777) == 0) files.add(name, EntryKind::other);
}

// Replaces the release's status file in the base directory; false when the
// release directory does not lie below the base directory.
bool refresh_status_file(const Settings& settings, Progress progress, const std::string& text) {
  const std::string& base = *settings.base_dir;
  std::optional<std::string> dashed = dashed_release_path(base, settings.release_dir);
  if (!dashed) return false;

  const NameList status_files = scan_directory(base);
  for (std::size_t i = 0; i < status_files.size(); ++i) {
    const std::string_view name = status_files.name(i);
    if (status_files.kind(i) == EntryKind::regular &&
        name.size() == dashed->size() + kStatusTextLength && name.starts_with(*dashed)) {
      std::remove((base + std::string(name)).c_str());
    }
  }
  if (!progress.complete()) {
    // Not following a link keeps a planted symbolic link from making kuvo
    // truncate whatever file it points to.
    int fd = open((base + *dashed + text).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) close(fd);
  }
  return true;
}

}  // namespace

std::string progress_bar(int progress) {
  if (Progress{progress}.complete()) return "--all-files-CRC-ok--";
  std::string bar(20, '-');
  bar.replace(0, static_cast<std::size_t>(progress / 5), static_cast<std::size_t>(progress / 5),
              '#');
  return bar;
}

std::string status_text(int progress) {
  return "-[" + three_digit_percent(progress) + "%]-[" + progress_bar(progress) + "]-";
}

std::string status_directory_name(const Settings& settings, Progress progress) {
  if (progress.complete() && settings.completion_name) return *settings.completion_name;
  return status_text(progress.percent);
}

std::optional<std::string> dashed_release_path(const std::string& base_dir,
                                               const std::string& release_dir) {
  if (base_dir.size() >= release_dir.size() || !release_dir.starts_with(base_dir)) {
    return std::nullopt;
  }
  std::string dashed = release_dir.substr(base_dir.size());
  for (char& c : dashed) {
    if (c == '/') c = '-';
  }
  return dashed;
}

void publish_status(const Settings& settings, NameList& files, Progress progress, Upload upload) {
  const std::string bar = progress_bar(progress.percent);
  emit_message(settings,
               "Upload progress: [" + three_digit_percent(progress.percent) + "%] [" + bar + "]");
  const std::string text = status_text(progress.percent);

  if (settings.status_dir_switch) refresh_status_directory(settings, files, progress);
  if (settings.base_dir_switch && !refresh_status_file(settings, progress, text)) return;

  const AnnounceMode mode = settings.announce_mode;
  if (upload == Upload::sfv_file && mode != AnnounceMode::off) {
    write_expecting_line(settings, progress.total);
  }
  if ((mode == AnnounceMode::completion && progress.complete()) ||
      mode == AnnounceMode::every_change) {
    write_status_line(settings, status_directory_name(settings, progress));
  }
}

}  // namespace kuvo
