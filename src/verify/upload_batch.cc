#include "verify/upload_batch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <tuple>
#include <unordered_set>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "fileset/name_lookup.h"
#include "status/publish.h"
#include "verify/markers.h"
#include "verify/release.h"
#include "verify/sfv_arrival.h"
#include "verify/single_file.h"

namespace kuvo {
namespace {

// The console of one upload's run: a stream into memory, taken as text when
// the run is over.
class CapturedConsole {
 public:
  CapturedConsole() : stream_(open_memstream(&text_, &size_)) {
    // Out of memory: the batch ends as a failed allocation ends every run.
    if (stream_ == nullptr) {
      if (std::new_handler handler = std::get_new_handler()) handler();
      std::abort();
    }
  }
  ~CapturedConsole() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(text_);
  }
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;

  std::FILE* stream() const { return stream_; }
  // What the run wrote. Cannot fail.
  std::string take() {
    std::fclose(stream_);
    stream_ = nullptr;
    return std::string(text_, size_);
  }

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* stream_;
};

// What the batch added to its listing since the listing was read: entries
// that a fresh listing would show in the directory's order, not last. Each
// entry is looked at once.
class Additions {
 public:
  void update(const Settings& settings, const Release& release) {
    if (release.listings != listings_) {
      listings_ = release.listings;
      seen_ = release.entries_listed;
      sfv_name_ = untested_name_ = false;
    }
    const NameList& list = release.files.list();
    for (; seen_ < list.size(); ++seen_) {
      if (list.kind(seen_) != EntryKind::regular) continue;
      sfv_name_ = sfv_name_ || is_sfv_name(list.name(seen_));
      untested_name_ =
          untested_name_ || ends_with_ignoring_case(list.name(seen_), settings.untested_suffix);
    }
  }
  // The release's SFV is the first in the listing's order.
  bool sfv_name() const { return sfv_name_; }
  // An arrival re-tests the untested files in the listing's order.
  bool untested_name() const { return untested_name_; }

 private:
  unsigned listings_ = 0;
  std::size_t seen_ = 0;
  bool sfv_name_ = false;
  bool untested_name_ = false;
};

// Drops what the release knows of the directory, its SFV included: the next
// run lists and reads afresh.
void forget(Release& release) {
  release.files.replace_list({});
  release.sfv_read = false;
}

// Makes the release's listing answer for the run of `upload` as a fresh
// listing would (see judge_uploads), dropping it where it cannot.
void prepare_listing(const Settings& settings, Release& release, Additions& additions,
                     const std::string& upload) {
  if (!release.files.listed()) return;
  if (may_have_changed(".", release.listed_at)) return forget(release);
  additions.update(settings, release);
  // A file the run renamed to an SFV's name may stand in for the SFV read.
  if (additions.sfv_name()) return forget(release);
  if (!release.files.holds(upload) ||
      (is_sfv_name(upload) && settings.untested_mode && additions.untested_name())) {
    release.files.replace_list({});
  }
}

}  // namespace

void judge_uploads(const Settings& settings, const std::vector<std::string>& uploads,
                   const std::function<void(const UploadVerdict&)>& told) {
  Release release;
  Additions additions;
  for (const std::string& upload : uploads) {
    prepare_listing(settings, release, additions, upload);
    Settings run = settings;
    run.uploaded_file = upload;
    CapturedConsole console;
    run.console = console.stream();
    const bool arrival = is_sfv_name(upload);
    const ExitStatus status =
        arrival ? run_sfv_arrival(run, release) : check_uploaded_file(run, release);
    if (release.listing_may_be_stale) {
      // Others changed the directory while the run read, and no fresh listing
      // took that in since.
      forget(release);
    } else if (arrival) {
      // An arrival changed much of the directory, over a re-test that may
      // have taken long.
      release.files.replace_list({});
    } else if (release.files.listed()) {
      // The run's own changes moved the directory's time; from here on, a
      // move tells a change by others.
      release.listed_at = stamp_directory(".");
    }
    told(UploadVerdict{upload, status, console.take()});
  }
}

namespace {

// A file of the release as the marker laid out for its entry shows it.
struct ListedFile {
  std::string name;  // as the directory spells it
  bool marker_there = false;
};

// The release's counted entries as their files and markers show them, found
// as a hook run's count finds them, without reading a file.
struct Survey {
  std::vector<ListedFile> files;   // there under an entry's name, but the SFV itself and "*"
  bool marker_never_laid = false;  // an entry's file is absent and no marker stands for it
  std::int64_t counted = 0;
  std::int64_t present = 0;  // file there, marker gone

  Progress progress() const {
    return Progress{counted == 0 ? 0 : static_cast<int>(present * 100 / counted),
                    static_cast<int>(counted)};
  }
};

// The longest name the directory takes.
std::size_t longest_name() {
  const long limit = pathconf(".", _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

Survey survey_release(const Settings& settings, Release& release) {
  Survey survey;
  ListedFiles listed(release.sfv, release.files);
  // Names an arrival never lays out a marker under.
  std::unordered_set<std::string_view> listed_like_marker;
  for (const SfvEntry entry : release.sfv) {
    if (entry.file_name.ends_with(settings.missing_suffix)) {
      listed_like_marker.insert(entry.file_name);
    }
  }
  const std::size_t longest = longest_name();
  std::map<std::string, std::size_t> file_of_name;  // position in survey.files
  std::string marker;
  for (const SfvEntry entry : release.sfv) {
    if (!counts_towards_release(settings, entry)) continue;
    ++survey.counted;
    marker.assign(entry.file_name).append(settings.missing_suffix);
    const std::optional<std::size_t> found = release.files.find(marker);
    const bool marker_there = found && !listed.at(*found);
    const std::optional<std::size_t> file = release.files.find(entry.file_name);
    if (!file) {
      survey.marker_never_laid =
          survey.marker_never_laid ||
          (!marker_there && !listed_like_marker.count(marker) && marker.size() <= longest);
      continue;
    }
    if (!marker_there) ++survey.present;
    if (*file == kClosingStar) continue;
    std::string name(listed_name(release.files.list(), *file));
    if (name == release.sfv_name) continue;
    // Lines for names the rules take as one file share it.
    const auto [at, fresh] = file_of_name.try_emplace(name, survey.files.size());
    if (fresh) survey.files.push_back(ListedFile{std::move(name), false});
    survey.files[at->second].marker_there = survey.files[at->second].marker_there || marker_there;
  }
  return survey;
}

// True when a directory in the listing bears `name`.
bool holds_directory(const NameList& list, const std::string& name) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) == EntryKind::other && list.name(i) == name) return true;
  }
  return false;
}

// `names` oldest modification first (then by name); names gone meanwhile are
// left out.
std::vector<std::string> oldest_first(std::vector<std::string> names) {
  std::vector<std::tuple<std::int64_t, std::string>> dated;
  for (std::string& name : names) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) continue;
    dated.emplace_back(std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec,
                       std::move(name));
  }
  std::sort(dated.begin(), dated.end());
  std::vector<std::string> sorted;
  for (auto& [time, name] : dated) sorted.push_back(std::move(name));
  return sorted;
}

}  // namespace

std::vector<std::string> uploads_pending(const Settings& settings) {
  Release release;
  if (!list_release(release)) return {};
  const std::optional<std::string> sfv_name = find_release_sfv(release.files.list());
  if (!sfv_name || read_sfv(release, *sfv_name).empty()) return {};
  const Survey survey = survey_release(settings, release);
  const bool arrival_pending =
      survey.marker_never_laid ||
      (settings.status_dir_switch &&
       !holds_directory(release.files.list(), status_directory_name(settings, survey.progress())));
  std::vector<std::string> files;
  for (const ListedFile& file : survey.files) {
    if (arrival_pending || file.marker_there) files.push_back(file.name);
  }
  std::vector<std::string> pending;
  if (arrival_pending) pending.push_back(*sfv_name);
  for (std::string& name : oldest_first(std::move(files))) pending.push_back(std::move(name));
  return pending;
}

}  // namespace kuvo
