#include "verify/repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "verify/markers.h"
#include "verify/progress.h"
#include "verify/release.h"

namespace kuvo {
namespace {

// True when `name` is an empty regular file, not a link: what kuvo makes as a
// marker, and the only kind of file a repair may remove.
bool is_empty_regular_file(const std::string& name) {
  struct stat st;
  return lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

// Plans the steps against the directory as it will stand after the steps
// planned before: a rename frees its old name and takes its new one.
class Planner {
 public:
  explicit Planner(const Settings& settings) : settings_(settings) {}

  std::vector<RepairStep> plan(const ReleaseReport& report) {
    // Files under their own names that do not match go first, so that a
    // matching file waiting under another name can take the name they free.
    for (const EntryReport& entry : report.entries) {
      if (entry.file && entry.file->verdict == Verdict::crc_bad) set_aside_bad_file(entry);
      // A corrupt copy under an equivalent name fails a hook run for it.
      for (const FileCheck& copy : entry.copies) {
        if (copy.verdict == Verdict::crc_bad) rename(copy.name, copy.name + settings_.bad_suffix);
      }
    }
    for (const EntryReport& entry : report.entries) listed_.insert(entry.sfv_name);
    std::vector<bool> ok_after;
    for (const EntryReport& entry : report.entries) ok_after.push_back(settle_waiting(entry));
    std::set<std::string> markers;
    for (std::size_t i = 0; i < report.entries.size(); ++i) {
      settle_marker(report.entries[i], ok_after[i]);
      if (report.entries[i].marker) markers.insert(*report.entries[i].marker);
    }
    // Markers of names the SFV does not count.
    for (const std::string& marker : report.stale_markers) {
      if (!markers.count(marker)) remove_marker(marker);
    }
    return std::move(steps_);
  }

 private:
  bool exists(const std::string& name) const {
    if (taken_.count(name)) return true;
    if (freed_.count(name)) return false;
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
  }

  // Plans renaming `from` to `to`, or a clash when `to` is taken; true when
  // the rename is planned. A file gets one step at most.
  bool rename(const std::string& from, const std::string& to) {
    if (!handled_.insert(from).second) return renamed_.count(from) > 0;
    if (exists(to)) {
      steps_.push_back(RepairStep{RepairStep::Kind::clash, from, to, {}});
      return false;
    }
    steps_.push_back(RepairStep{RepairStep::Kind::rename, from, to, {}});
    taken_.erase(from);
    freed_.insert(from);
    freed_.erase(to);
    taken_.insert(to);
    renamed_.insert(from);
    return true;
  }

  // Gives the entry's file, which does not match, its bad name. When a file
  // that matches holds that name, the two swap names: each gets the name the
  // other needs, and neither may replace the other.
  void set_aside_bad_file(const EntryReport& entry) {
    const std::string& name = entry.file->name;
    const std::string bad_name = name + settings_.bad_suffix;
    for (const FileCheck& waiting : entry.waiting) {
      if (waiting.name != bad_name || waiting.verdict != Verdict::crc_ok) continue;
      if (handled_.count(name) || handled_.count(bad_name)) break;
      steps_.push_back(RepairStep{RepairStep::Kind::exchange, name, bad_name, {}});
      for (const std::string& file : {name, bad_name}) {
        handled_.insert(file);
        renamed_.insert(file);
      }
      return;
    }
    rename(name, bad_name);
  }

  // The name a waiting file was uploaded under, and whether it bears the
  // untested suffix (else the bad one).
  std::pair<std::string, bool> base_of(const std::string& name) const {
    const std::string& untested = settings_.untested_suffix;
    if (ends_with_ignoring_case(name, untested)) {
      return {name.substr(0, name.size() - untested.size()), true};
    }
    return {name.substr(0, name.size() - settings_.bad_suffix.size()), false};
  }

  // Gives the entry's waiting files the names their verdicts call for, as the
  // re-test of an arriving SFV does, and a matching file under the bad name
  // its own name back; true when the entry ends up under its own name and
  // matching.
  bool settle_waiting(const EntryReport& entry) {
    // Counted entries ("*", the SFV itself) are there and get no step but
    // their marker's removal.
    bool ok = entry.state == EntryState::ok || entry.state == EntryState::counted;
    // A matching copy under an equivalent name is the file hook runs find
    // once the corrupt one under the entry's own name has left it.
    if (entry.file && renamed_.count(entry.file->name)) {
      for (const FileCheck& copy : entry.copies) ok = ok || copy.verdict == Verdict::crc_ok;
    }
    // Matching files first: one leaving the bad name frees it for a file
    // that waits untested and does not match.
    for (const FileCheck& file : entry.waiting) {
      if (file.verdict == Verdict::crc_ok && rename(file.name, base_of(file.name).first)) ok = true;
    }
    for (const FileCheck& file : entry.waiting) {
      const auto [base, untested] = base_of(file.name);
      if (file.verdict == Verdict::crc_bad && untested) {
        rename(file.name, base + settings_.bad_suffix);
      }
    }
    return ok;
  }

  // Lays out the marker of an entry that is not there, or takes away the
  // marker of one that is.
  void settle_marker(const EntryReport& entry, bool ok_after) {
    if (ok_after) {
      if (entry.marker) remove_marker(*entry.marker);
      return;
    }
    if (entry.marker) return;
    const std::string marker = missing_marker(settings_, entry.sfv_name);
    // No marker is laid out under a name the SFV lists: that is a file.
    if (listed_.count(marker) || !handled_.insert(marker).second) return;
    if (exists(marker)) {
      steps_.push_back(RepairStep{RepairStep::Kind::clash, marker, {}, {}});
      return;
    }
    steps_.push_back(RepairStep{RepairStep::Kind::create_marker, marker, {}, {}});
    taken_.insert(marker);
  }

  void remove_marker(const std::string& marker) {
    if (!handled_.insert(marker).second) return;
    if (!is_empty_regular_file(marker)) {
      steps_.push_back(RepairStep{RepairStep::Kind::clash, marker, {}, {}});
      return;
    }
    steps_.push_back(RepairStep{RepairStep::Kind::remove_marker, marker, {}, {}});
    taken_.erase(marker);
    freed_.insert(marker);
  }

  const Settings& settings_;
  std::vector<RepairStep> steps_;
  std::set<std::string> taken_;    // names that planned steps give to files
  std::set<std::string> freed_;    // names that planned steps take away
  std::set<std::string> handled_;  // files that have their step
  std::set<std::string> renamed_;
  std::set<std::string> listed_;  // names of the counted entries
};

std::string reason(int error) { return std::strerror(error); }

// Renames without ever replacing what bears the new name, even should it come
// there after the plan was made.
std::optional<std::string> rename_without_replacing(const std::string& from,
                                                    const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return std::nullopt;
  }
  int error = errno;
  // File systems without the flag get the same rule from a check just before.
  if (error == EINVAL || error == ENOSYS) {
    struct stat st;
    if (lstat(to.c_str(), &st) != 0) {
      if (std::rename(from.c_str(), to.c_str()) == 0) return std::nullopt;
      error = errno;
    } else {
      error = EEXIST;
    }
  }
  return "Unable to rename " + from + " to " + to + ": " + reason(error) + ".";
}

std::optional<std::string> remove_empty_marker(const std::string& marker) {
  if (!is_empty_regular_file(marker)) {
    return "Unable to remove marker " + marker + ": it is no longer an empty file.";
  }
  if (unlink(marker.c_str()) == 0) return std::nullopt;
  return "Unable to remove marker " + marker + ": " + reason(errno) + ".";
}

}  // namespace

std::vector<RepairStep> plan_repair(const Settings& settings, const ReleaseReport& report) {
  return Planner(settings).plan(report);
}

void apply_repair(std::vector<RepairStep>& plan) {
  for (RepairStep& step : plan) {
    switch (step.kind) {
      case RepairStep::Kind::rename:
        step.failure = rename_without_replacing(step.name, step.target);
        break;
      case RepairStep::Kind::exchange:
        if (renameat2(AT_FDCWD, step.name.c_str(), AT_FDCWD, step.target.c_str(),
                      RENAME_EXCHANGE) != 0) {
          step.failure = "Unable to exchange " + step.name + " and " + step.target + ": " +
                         reason(errno) + ".";
        }
        break;
      case RepairStep::Kind::create_marker:
        step.failure = create_marker(step.name);
        break;
      case RepairStep::Kind::remove_marker:
        step.failure = remove_empty_marker(step.name);
        break;
      case RepairStep::Kind::clash:
        break;
    }
  }
}

void publish_repaired(const Settings& settings, const std::string& sfv_name) {
  NameList listing = scan_directory(".");
  if (!listing.readable()) {
    report_unreadable_directory(settings);
    return;
  }
  Release release(std::move(listing));
  release.sfv_name = sfv_name;
  release.sfv = load_sfv(sfv_name);
  if (release.sfv.empty()) {
    report_unparsable_sfv(settings, sfv_name);
    return;
  }
  finish_run(settings, release, Upload::release_file);
}

}  // namespace kuvo
