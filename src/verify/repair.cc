#include "verify/repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "status/publish.h"
#include "verify/markers.h"

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
    sfv_name_ = report.sfv_name;
    // Files under their own names that do not match go first, so that a
    // matching file waiting under another name can take the name they free.
    for (const EntryReport& entry : report.entries) {
      if (names_the_sfv(entry)) continue;
      if (entry.file && entry.file->verdict == Verdict::crc_bad) set_aside_bad_file(entry);
      // A corrupt copy under an equivalent name fails a hook run for it.
      for (const FileCheck& copy : entry.copies) {
        if (copy.verdict == Verdict::crc_bad) {
          rename(copy.name, copy.name + settings_.bad_suffix, copy.identity);
        }
      }
    }
    for (const EntryReport& entry : report.entries) listed_.insert(entry.sfv_name);
    std::vector<bool> ok_after;
    for (const EntryReport& entry : report.entries) {
      ok_after.push_back(!names_the_sfv(entry) && settle_waiting(entry));
    }
    std::set<std::string> markers;
    for (std::size_t i = 0; i < report.entries.size(); ++i) {
      if (!names_the_sfv(report.entries[i])) settle_marker(report.entries[i], ok_after[i]);
      if (report.entries[i].marker) markers.insert(*report.entries[i].marker);
    }
    // Markers of names the SFV does not count.
    for (const std::string& marker : report.stale_markers) {
      if (!markers.count(marker)) remove_marker(marker);
    }
    return std::move(steps_);
  }

 private:
  // An SFV that lists itself cannot hold its own CRC, so such an entry is the
  // SFV's business alone: renaming or marking it would take the release's
  // list away.
  bool names_the_sfv(const EntryReport& entry) const {
    return entry.sfv_name == sfv_name_ || (entry.file && entry.file->name == sfv_name_);
  }

  bool exists(const std::string& name) const {
    if (taken_.count(name)) return true;
    if (freed_.count(name)) return false;
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
  }

  // Plans renaming the file `from`, read as `read`, to `to`, or a clash when
  // `to` is taken; true when the rename is planned. A file gets one step at
  // most, and the SFV none.
  bool rename(const std::string& from, const std::string& to,
              const std::optional<FileIdentity>& read) {
    if (from == sfv_name_ || to == sfv_name_) return false;
    if (!handled_.insert(from).second) return renamed_.count(from) > 0;
    if (exists(to)) {
      steps_.push_back(step(RepairStep::Kind::clash, from, to));
      return false;
    }
    steps_.push_back(step(RepairStep::Kind::rename, from, to, read));
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
      if (handled_.count(name) || handled_.count(bad_name) || bad_name == sfv_name_) break;
      steps_.push_back(
          step(RepairStep::Kind::exchange, name, bad_name, entry.file->identity, waiting.identity));
      for (const std::string& file : {name, bad_name}) {
        handled_.insert(file);
        renamed_.insert(file);
      }
      return;
    }
    rename(name, bad_name, entry.file->identity);
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
      if (file.verdict == Verdict::crc_ok &&
          rename(file.name, base_of(file.name).first, file.identity)) {
        ok = true;
      }
    }
    for (const FileCheck& file : entry.waiting) {
      const auto [base, untested] = base_of(file.name);
      if (file.verdict == Verdict::crc_bad && untested) {
        rename(file.name, base + settings_.bad_suffix, file.identity);
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
    if (marker == sfv_name_ || listed_.count(marker) || !handled_.insert(marker).second) return;
    if (exists(marker)) {
      steps_.push_back(step(RepairStep::Kind::clash, marker));
      return;
    }
    steps_.push_back(step(RepairStep::Kind::create_marker, marker));
    taken_.insert(marker);
  }

  void remove_marker(const std::string& marker) {
    if (marker == sfv_name_ || !handled_.insert(marker).second) return;
    if (!is_empty_regular_file(marker)) {
      steps_.push_back(step(RepairStep::Kind::clash, marker));
      return;
    }
    steps_.push_back(step(RepairStep::Kind::remove_marker, marker));
    taken_.erase(marker);
    freed_.insert(marker);
  }

  static RepairStep step(RepairStep::Kind kind, const std::string& name,
                         const std::string& target = {},
                         const std::optional<FileIdentity>& name_read = {},
                         const std::optional<FileIdentity>& target_read = {}) {
    RepairStep step;
    step.kind = kind;
    step.name = name;
    step.target = target;
    step.name_read = name_read;
    step.target_read = target_read;
    return step;
  }

  const Settings& settings_;
  std::string sfv_name_;
  std::vector<RepairStep> steps_;
  std::set<std::string> taken_;    // names that planned steps give to files
  std::set<std::string> freed_;    // names that planned steps take away
  std::set<std::string> handled_;  // files that have their step
  std::set<std::string> renamed_;
  std::set<std::string> listed_;  // names of the counted entries
};

// True when `name` still denotes the very file that was read as `read`,
// unchanged; checked right before the step, the last moment kuvo can.
bool is_file_read(const std::string& name, const std::optional<FileIdentity>& read) {
  return read && identity_of(name) == read;
}

// The owner and group that files a repair creates get: the release
// directory's, when the repair runs as root; none otherwise, when they are the
// runner's own anyway.
std::optional<std::pair<uid_t, gid_t>> owner_for_new_files() {
  struct stat st;
  if (geteuid() != 0 || stat(".", &st) != 0) return std::nullopt;
  return std::pair{st.st_uid, st.st_gid};
}

// Sets the outcome of a step from the result of its system call.
void settle(RepairStep& step, bool succeeded) {
  step.outcome = succeeded ? RepairStep::Outcome::done : RepairStep::Outcome::failed;
  step.error = succeeded ? 0 : errno;
}

// Renames without ever replacing what bears the new name, even should it come
// there after the plan was made.
void rename_without_replacing(RepairStep& step) {
  if (renameat2(AT_FDCWD, step.name.c_str(), AT_FDCWD, step.target.c_str(), RENAME_NOREPLACE) ==
      0) {
    return settle(step, true);
  }
  // File systems without the flag get the same rule from a check just before.
  if (errno == EINVAL || errno == ENOSYS) {
    struct stat st;
    if (lstat(step.target.c_str(), &st) == 0) {
      errno = EEXIST;
      return settle(step, false);
    }
    return settle(step, std::rename(step.name.c_str(), step.target.c_str()) == 0);
  }
  settle(step, false);
}

// Lays out the empty marker, never over anything that bears its name.
void create_empty_marker(RepairStep& step, const std::optional<std::pair<uid_t, gid_t>>& owner) {
  const int fd =
      open(step.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  settle(step, fd >= 0);
  if (fd < 0) return;
  // Ownership is a courtesy to the site: a failure leaves the marker root's.
  if (owner) {
    int ignored = fchown(fd, owner->first, owner->second);
    (void)ignored;
  }
  close(fd);
}

void remove_empty_marker(RepairStep& step) {
  if (!is_empty_regular_file(step.name)) {
    step.outcome = RepairStep::Outcome::changed;
    return;
  }
  settle(step, unlink(step.name.c_str()) == 0);
}

}  // namespace

std::vector<RepairStep> plan_repair(const Settings& settings, const ReleaseReport& report) {
  return Planner(settings).plan(report);
}

void apply_repair(std::vector<RepairStep>& plan) {
  const std::optional<std::pair<uid_t, gid_t>> owner = owner_for_new_files();
  for (RepairStep& step : plan) {
    switch (step.kind) {
      case RepairStep::Kind::rename:
        if (!is_file_read(step.name, step.name_read)) {
          step.outcome = RepairStep::Outcome::changed;
        } else {
          rename_without_replacing(step);
        }
        break;
      case RepairStep::Kind::exchange:
        if (!is_file_read(step.name, step.name_read) ||
            !is_file_read(step.target, step.target_read)) {
          step.outcome = RepairStep::Outcome::changed;
        } else {
          settle(step, renameat2(AT_FDCWD, step.name.c_str(), AT_FDCWD, step.target.c_str(),
                                 RENAME_EXCHANGE) == 0);
        }
        break;
      case RepairStep::Kind::create_marker:
        create_empty_marker(step, owner);
        break;
      case RepairStep::Kind::remove_marker:
        remove_empty_marker(step);
        break;
      case RepairStep::Kind::clash:
        break;
    }
  }
}

void publish_examined(const Settings& settings, const ReleaseReport& before,
                      const ReleaseReport& after) {
  if (after.problem != ReleaseProblem::none || !publishing_enabled(settings)) return;
  NameList listing = scan_directory(".");
  const Progress progress = after.progress();
  Settings publishing = settings;
  // The status line tells the site a release moved; one that stands where it
  // stood before the repair has nothing new to tell.
  if (before.problem == ReleaseProblem::none && before.progress().percent == progress.percent) {
    publishing.announce_mode = AnnounceMode::off;
  }
  const std::string status_dir = status_directory_name(settings, progress);
  struct stat st;
  const bool status_dir_was_there = lstat(status_dir.c_str(), &st) == 0;
  publish_status(publishing, listing, progress, Upload::release_file);
  const std::optional<std::pair<uid_t, gid_t>> owner = owner_for_new_files();
  if (settings.status_dir_switch && owner && !status_dir_was_there) {
    // Not following a link: only the directory just made is handed over.
    int ignored =
        fchownat(AT_FDCWD, status_dir.c_str(), owner->first, owner->second, AT_SYMLINK_NOFOLLOW);
    (void)ignored;
  }
}

}  // namespace kuvo
