// Names kuvo forms from an SFV entry, and which entries it may act on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "fileset/sfv_reader.h"
#include "verify/release.h"

namespace kuvo {

// The missing marker of an SFV entry: its name as the SFV spells it followed by
// the missing suffix. Cannot fail.
std::string missing_marker(const Settings& settings, std::string_view file_name);

// True when the SFV has a line for a name spelled exactly `name`: a file the
// SFV lists is never a marker, though named like one ('a.rar_missing' or
// 'a.rar-missing' listed beside 'a.rar'), and no marker is ever laid out under
// such a name. A walk of the SFV; cannot fail.
bool lists_exactly(const SfvList& sfv, std::string_view name);

// The same for the regular files of a run's listing, by position: the files
// are marked once, on first use, a bit each. The listing must not change
// while this is used.
class ListedFiles {
 public:
  ListedFiles(const SfvList& sfv, ReleaseFiles& files) : sfv_(sfv), files_(files) {}
  // True when the file at `position` is spelled exactly as an SFV line names
  // it; false for kClosingStar. Cannot fail.
  bool at(std::size_t position);

 private:
  const SfvList& sfv_;
  ReleaseFiles& files_;
  std::vector<bool> marks_;  // empty until first use
};

// True when the entry's name stays inside the release directory. An uploaded
// SFV may list '../other/x' or '/etc/x'; kuvo never creates, removes or renames
// anything because of such a name.
bool stays_in_release(std::string_view file_name);

// True when the entry counts towards the release: it names a file inside the
// release directory and no ignore pattern matches it.
bool counts_towards_release(const Settings& settings, const SfvEntry& entry);

// What one change to the release directory came to.
struct Change {
  enum class Outcome { done, refused };
  Outcome outcome = Outcome::done;
  std::string line;  // for a refused change, the line that tells the uploader why

  bool refused() const { return outcome == Outcome::refused; }
};

// Renames `from` to `to`; refused, with the line that tells why ("Unable to
// rename a to b: reason."), which the caller emits right after the line that
// announced the rename. Done also when `from` is gone.
Change rename_file(const std::string& from, const std::string& to);

// The line that tells why renaming `from` to `to` failed with the errno value
// `error`: "Unable to rename a to b: reason.". Cannot fail.
std::string rename_failure(const std::string& from, const std::string& to, int error);

// Creates the empty marker `marker` unless something already bears its name
// (whoever made it, it is left untouched); refused on any other failure, with
// the line that tells why ("Unable to create marker m: reason."). Done when the
// marker was created or its name was already taken.
Change create_marker(const std::string& marker);

}  // namespace kuvo
