#include "verify/release.h"

#include "base/case_fold.h"
#include "base/emit.h"

namespace kuvo {

const NameIndex& ReleaseFiles::index() {
  if (!indexed_) {
    index_ = index_name_list(list_);
    indexed_ = true;
    changed_ = false;
    added_.clear();
  }
  return index_;
}

void ReleaseFiles::drop_index() {
  index_ = NameIndex{};
  indexed_ = changed_ = false;
  added_.clear();
}

std::optional<std::size_t> ReleaseFiles::position_of(std::string_view name) {
  if (auto added = added_.find(std::string(name)); added != added_.end()) return added->second;
  if (!indexed_) {
    // One name is found quicker by a walk than by indexing the whole list.
    for (std::size_t i = 0; i < list_.size(); ++i) {
      if (list_.kind(i) == EntryKind::regular && list_.name(i) == name) return i;
    }
    return std::nullopt;
  }
  std::optional<std::size_t> at = find_exact_name(index_, name);
  if (at && list_.kind(*at) != EntryKind::regular) return std::nullopt;
  return at;
}

std::optional<std::size_t> ReleaseFiles::find(std::string_view name) {
  if (changed_) indexed_ = false;
  return find_listed_name(index(), name);
}

void ReleaseFiles::replace_list(NameList listing) {
  drop_index();
  list_ = std::move(listing);
}

void ReleaseFiles::renamed(std::string_view from, std::string_view to) {
  removed(from);
  // A rename replaces a file that bears the new name already.
  removed(to);
  const std::size_t position = list_.size();
  list_.add(to, EntryKind::regular);
  if (list_.size() == position) return;  // no directory holds such a name
  if (indexed_) added_[std::string(to)] = position;
  changed_ = true;
}

void ReleaseFiles::created_exclusively(std::string_view name) {
  // Many markers are created at once: the index is built again once, when
  // they are all there, rather than kept up to date marker by marker.
  if (indexed_) drop_index();
  list_.add(name, EntryKind::regular);
  changed_ = true;
}

void ReleaseFiles::removed(std::string_view name) {
  if (std::optional<std::size_t> at = position_of(name)) removed_at(*at);
}

void ReleaseFiles::removed_at(std::size_t position) {
  added_.erase(std::string(list_.name(position)));
  list_.remove(position);
  changed_ = true;
}

bool list_release(Release& release) {
  release.files.replace_list(NameList{});  // the old listing need not stay meanwhile
  release.listed_at = stamp_directory(".");
  release.files.replace_list(scan_directory("."));
  release.entries_listed = release.files.list().size();
  ++release.listings;
  release.listing_may_be_stale = false;
  return release.files.listed();
}

const SfvList& read_sfv(Release& release, const std::string& name) {
  if (!release.sfv_read || release.sfv_name != name) {
    release.sfv = SfvList{};
    release.sfv_name = name;
    release.sfv = load_sfv(name);
    release.sfv_read = true;
  }
  return release.sfv;
}

void report_unreadable_directory(const Settings& settings) {
  emit_message(settings, "Error reading directory " + settings.release_dir + ".");
}

void report_unparsable_sfv(const Settings& settings, const std::string& sfv_name) {
  emit_message(settings, "Error parsing SFV file " + sfv_name + ".");
}

std::optional<std::string> find_release_sfv(const NameList& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files.kind(i) == EntryKind::regular && is_sfv_name(files.name(i))) {
      return std::string(files.name(i));
    }
  }
  return std::nullopt;
}

}  // namespace kuvo
