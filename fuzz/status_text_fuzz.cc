// Fuzzes the names that status reporting builds. The first input byte picks a
// progress (0 to 100); the rest is a base directory, a NUL byte and a release
// directory. The status text must always be the 31-character frame around the
// three-digit percentage and a 20-character bar, and the dashed release path
// must be the release directory's rest below the base directory with every
// "/" turned into "-", or nothing when the release does not lie below it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "status/publish.h"

namespace {

void check_status_text(int progress) {
  const std::string bar = kuvo::progress_bar(progress);
  if (bar.size() != 20) std::abort();
  if (progress > 99) {
    if (bar != "--all-files-CRC-ok--") std::abort();
  } else {
    const std::size_t hashes = static_cast<std::size_t>(progress / 5);
    if (bar != std::string(hashes, '#') + std::string(20 - hashes, '-')) std::abort();
  }
  char percent[8];
  std::snprintf(percent, sizeof percent, "%03d", progress);
  const std::string text = kuvo::status_text(progress);
  if (text.size() != 31) std::abort();
  if (text != "-[" + std::string(percent) + "%]-[" + bar + "]-") std::abort();
}

void check_dashed_path(const std::string& base, const std::string& release, int progress) {
  const std::optional<std::string> dashed = kuvo::dashed_release_path(base, release);
  const bool below = base.size() < release.size() && release.compare(0, base.size(), base) == 0;
  if (dashed.has_value() != below) std::abort();
  if (!dashed) return;
  if (dashed->size() != release.size() - base.size() || dashed->empty()) std::abort();
  for (std::size_t i = 0; i < dashed->size(); ++i) {
    const char original = release[base.size() + i];
    if ((*dashed)[i] != (original == '/' ? '-' : original)) std::abort();
  }
  // The status file's name is exactly 31 characters longer than the dashed
  // path, which is what lets a later run find and remove it.
  const std::string status_file = *dashed + kuvo::status_text(progress);
  if (status_file.size() != dashed->size() + 31 || !status_file.starts_with(*dashed)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool every_progress_checked = [] {
    for (int progress = 0; progress <= 100; ++progress) check_status_text(progress);
    return true;
  }();
  (void)every_progress_checked;
  if (size == 0) return 0;

  const int progress = data[0] % 101;
  check_status_text(progress);
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t nul = rest.find('\0');
  const std::string base(rest.substr(0, nul));
  const std::string release(nul == std::string_view::npos ? "" : rest.substr(nul + 1));
  check_dashed_path(base, release, progress);
  return 0;
}
