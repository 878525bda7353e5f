// What a run knows of its release directory: one listing and one reading of
// the SFV, taken once and handed from step to step. The run's own changes
// (markers created and removed, files renamed) are applied to the listing, so
// that every later step sees them as a fresh listing would.
//
// Runs for other uploads may change the directory meanwhile, and the listing
// does not see that. Since an entry counts as there only when its file is
// listed and its marker is not, what a run misses (files that arrived, markers
// that went) can only make it report less progress; and a release is reported
// complete only once a fresh listing agrees (see compute_progress).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/settings.h"
#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/sfv_reader.h"

namespace kuvo {

class ReleaseFiles {
 public:
  explicit ReleaseFiles(NameList listing) : list_(std::move(listing)) {}
  // The index views the list, so a moved list is indexed afresh.
  ReleaseFiles(ReleaseFiles&& other) noexcept : list_(std::move(other.list_)) {}
  ReleaseFiles& operator=(ReleaseFiles&& other) noexcept {
    list_ = std::move(other.list_);
    indexed_ = changed_ = false;
    added_.clear();
    return *this;
  }

  const NameList& list() const { return list_; }
  // The listing for a step that removes or makes directories only (entries of
  // kind other, which no lookup here answers for): it notes them in place.
  NameList& list_for_directory_changes() { return list_; }
  // True once the listing was read to its end. Cannot fail.
  bool listed() const { return list_.readable(); }

  // The position of the regular file that the SFV-side `name` denotes, or
  // none (see find_listed_name). Indexes the list afresh first when it
  // changed, so steps should change it in batches.
  std::optional<std::size_t> find(std::string_view name);
  // The position of the regular file spelled exactly `name`, or none.
  std::optional<std::size_t> position_of(std::string_view name);
  bool holds(std::string_view name) { return position_of(name).has_value(); }

  // Takes `listing`, a fresh listing of the directory, in place of the list.
  void replace_list(NameList listing);
  // The run renamed the regular file `from` to `to`, which replaces a file of
  // that name; a `from` it does not hold only adds `to`. Cannot fail.
  void renamed(std::string_view from, std::string_view to);
  // The run created the regular file `name` exclusively, so that no file bore
  // that name before. Cannot fail.
  void created_exclusively(std::string_view name);
  // The run removed the regular file `name`, if it held one. Cannot fail.
  void removed(std::string_view name);
  // The run removed the regular file at `position`. Cannot fail.
  void removed_at(std::size_t position);

 private:
  // Exact names are unique in a directory, so the index stays good for exact
  // lookups across changes: a removed entry keeps its place, marked removed,
  // and entries added since the index was built are looked up beside it.
  const NameIndex& index();
  void drop_index();

  NameList list_;
  NameIndex index_;
  bool indexed_ = false;
  bool changed_ = false;                                // since the index was built
  std::unordered_map<std::string, std::size_t> added_;  // since the index was built
};

struct Release {
  // A release not listed yet: the first step that needs the listing takes it.
  Release() : files(NameList{}) {}
  explicit Release(NameList listing) : files(std::move(listing)) {}

  ReleaseFiles files;
  // The directory as it stood just before it was listed, or just after the
  // run's own last change: when it moved since, others changed it.
  DirectoryStamp listed_at;
  // How many entries the listing had when it was read, and how many times it
  // was read: later entries are the run's own additions, which a fresh
  // listing would show in the directory's order rather than last.
  std::size_t entries_listed = 0;
  unsigned listings = 0;
  // True when others may have changed the directory since it was listed, as
  // a single-file check finds it after computing the checksum and before its
  // own change.
  bool listing_may_be_stale = false;
  std::string sfv_name;  // as listed, or as uploaded
  SfvList sfv;
  bool sfv_read = false;  // `sfv` holds what reading `sfv_name` gave, usable or not
};

// Lists the working directory afresh in place of the release's listing,
// stamping it just before; false, with an unreadable listing, when it cannot
// be read.
bool list_release(Release& release);

// Reads the SFV file `name` into the release, unless the release holds what
// reading it gave already; returns its entries, empty when it is unusable.
const SfvList& read_sfv(Release& release, const std::string& name);

// Emits "Error reading directory <KUVO_DIR>."; the one place for it.
void report_unreadable_directory(const Settings& settings);

// Emits "Error parsing SFV file <sfv_name>."; the one place for it.
void report_unparsable_sfv(const Settings& settings, const std::string& sfv_name);

// The release's SFV file: the first regular file of `files` in list order
// whose name passes the SFV-name test; none when there is none.
std::optional<std::string> find_release_sfv(const NameList& files);

}  // namespace kuvo
