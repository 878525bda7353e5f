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

std::optional<std::size_t> ReleaseFiles::exact(std::string_view name) {
  if (auto added = added_.find(std::string(name)); added != added_.end()) return added->second;
  std::optional<std::size_t> at = find_exact_name(index(), name);
  if (at && list_.kind(*at) != EntryKind::regular) return std::nullopt;
  return at;
}

std::optional<std::size_t> ReleaseFiles::find(std::string_view name) {
  if (changed_) indexed_ = false;
  return find_listed_name(index(), name);
}

void ReleaseFiles::replace_list(NameList listing) {
  list_ = std::move(listing);
  indexed_ = false;
}

bool ReleaseFiles::holds(std::string_view name) { return exact(name).has_value(); }

void ReleaseFiles::renamed(std::string_view from, std::string_view to) {
  removed(from);
  created(to);
}

void ReleaseFiles::created(std::string_view name) {
  // A rename replaces a file that bears the new name already.
  removed(name);
  index();  // so that the new entry counts as added since
  const std::size_t position = list_.size();
  list_.add(name, EntryKind::regular);
  if (list_.size() == position) return;  // no directory holds such a name
  added_[std::string(name)] = position;
  changed_ = true;
}

void ReleaseFiles::removed(std::string_view name) {
  std::optional<std::size_t> at = exact(name);
  if (!at) return;
  list_.remove(*at);
  added_.erase(std::string(name));
  changed_ = true;
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
