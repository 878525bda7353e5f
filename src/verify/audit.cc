#include "verify/audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"
#include "status/publish.h"
#include "verify/file_under_test.h"
#include "verify/markers.h"
#include "verify/parallel_read.h"
#include "verify/release.h"

namespace kuvo {

namespace {

FileCheck check_of(const ReadJob& job, std::uint32_t expected_crc) {
  FileCheck check;
  check.name = job.name;
  check.expected_crc = expected_crc;
  check.actual_crc = job.crc;
  check.identity = job.identity;
  if (!job.crc) {
    check.verdict = Verdict::unreadable;
    check.problem = job.open_error != 0 ? std::strerror(job.open_error) : "read failed";
  } else {
    check.verdict = *job.crc == expected_crc ? Verdict::crc_ok : Verdict::crc_bad;
  }
  return check;
}

// The file a counted entry may wait under: a name bearing the untested or the
// bad suffix (ignoring case, as the re-test takes it) whose base name the SFV
// lists, as the re-test of an arriving SFV looks it up.
struct WaitingFile {
  std::string name;
  SfvEntry entry;  // the entry its base name denotes
};

// The examination proper, on a release whose SFV reads.
class Examination {
 public:
  Examination(const Settings& settings, Release& release)
      : settings_(settings), release_(release), sfv_(index_sfv_list(release.sfv)) {}

  ReleaseReport run(const AuditOptions& options) {
    collect_waiting_files();
    collect_entries();
    read_files(jobs_, options);
    ReleaseReport report;
    report.sfv_name = release_.sfv_name;
    for (Pending& pending : pending_) report.entries.push_back(finish(pending));
    collect_strays(report);
    collect_stale_status(report);
    return report;
  }

 private:
  // An entry whose files are being read.
  struct Pending {
    SfvEntry entry;
    std::optional<std::size_t> own_job;
    std::vector<std::pair<std::size_t, std::uint32_t>> waiting_jobs;  // job, expected CRC
    std::vector<std::pair<std::size_t, std::uint32_t>> copy_jobs;     // job, expected CRC
    std::optional<std::string> marker;
    std::optional<std::string> alias_marker;  // named like the marker only by the name rules
    bool counted = false;                     // there without a file to read
  };

  const NameList& list() { return release_.files.list(); }

  // The job reading `name`, made on first use.
  std::size_t job_for(const std::string& name) {
    auto [at, fresh] = job_of_name_.try_emplace(name, jobs_.size());
    if (fresh) {
      jobs_.emplace_back();
      jobs_.back().name = name;
    }
    return at->second;
  }

  void collect_waiting_files() {
    for (std::size_t i = 0; i < list().size(); ++i) {
      if (list().kind(i) != EntryKind::regular) continue;
      const std::string name(list().name(i));
      // A name the SFV lists is that entry's file, whatever it ends in.
      if (find_sfv_entry(sfv_, name)) continue;
      for (const std::string* suffix : {&settings_.untested_suffix, &settings_.bad_suffix}) {
        if (!ends_with_ignoring_case(name, *suffix)) continue;
        const std::string base = name.substr(0, name.size() - suffix->size());
        if (std::optional<SfvEntry> entry = find_sfv_entry(sfv_, base)) {
          waiting_[std::string(entry->file_name)].push_back(WaitingFile{name, *entry});
          waiting_names_.insert(name);
        }
        break;
      }
    }
    for (auto& [position, files] : waiting_) {
      std::sort(files.begin(), files.end(),
                [](const WaitingFile& a, const WaitingFile& b) { return a.name < b.name; });
    }
  }

  void collect_entries() {
    const SfvList& sfv = release_.sfv;
    // The list runs against the lines; reports follow the lines.
    for (std::size_t p = sfv.size(); p-- > 0;) {
      const SfvEntry entry = sfv[p];
      if (!counts_towards_release(settings_, entry)) continue;
      Pending pending{entry, {}, {}, {}, {}, {}, false};
      // Found by the rule that decides presence in every hook run, and read
      // against the entry that a hook run would check the file against. Every
      // listing holds "*", and no hook run ever checks the release's own SFV
      // (its upload is an SFV's arrival): both are there unread.
      const std::optional<std::size_t> own = release_.files.find(entry.file_name);
      if (own && (*own == kClosingStar || list().name(*own) == release_.sfv_name)) {
        pending.counted = true;
      } else if (own) {
        const std::string name(list().name(*own));
        const std::optional<SfvEntry> checked_against = find_sfv_entry(sfv_, name);
        pending.own_job = job_for(name);
        own_crc_[*pending.own_job] =
            checked_against ? checked_against->expected_crc : entry.expected_crc;
      }
      // A waiting file belongs to the entry its base name denotes, which is
      // spelled exactly like every line that denotes it first: lines the SFV
      // repeats share their waiting files, and so their copies.
      const std::string spelling(entry.file_name);
      if (auto waiting = waiting_.find(spelling); waiting != waiting_.end() && !pending.counted) {
        for (const WaitingFile& file : waiting->second) {
          pending.waiting_jobs.emplace_back(job_for(file.name), file.entry.expected_crc);
        }
      }
      pending_.push_back(std::move(pending));
    }
    collect_copies();
    for (Pending& pending : pending_) find_marker(pending);
  }

  // Every other file that a hook run for it would check against an entry,
  // under a name equivalent to the entry's: a corrupt 'A.RAR' beside a good
  // 'a.rar' fails its own check. An SFV's upload is an arrival, never checked.
  void collect_copies() {
    std::set<std::string> own_files;
    for (const Pending& pending : pending_) {
      if (pending.own_job) own_files.insert(jobs_[*pending.own_job].name);
    }
    std::map<std::string, std::vector<std::pair<std::string, std::uint32_t>>> copies;
    for (std::size_t i = 0; i < list().size(); ++i) {
      if (list().kind(i) != EntryKind::regular || is_sfv_name(list().name(i))) continue;
      std::string name(list().name(i));
      if (own_files.count(name)) continue;
      if (std::optional<SfvEntry> entry = find_sfv_entry(sfv_, name)) {
        copies[std::string(entry->file_name)].emplace_back(std::move(name), entry->expected_crc);
      }
    }
    for (Pending& pending : pending_) {
      auto found = copies.find(std::string(pending.entry.file_name));
      if (found == copies.end()) continue;
      std::sort(found->second.begin(), found->second.end());
      for (const auto& [name, crc] : found->second) {
        pending.copy_jobs.emplace_back(job_for(name), crc);
      }
    }
  }

  // Only the very name kuvo lays out is a marker, and never a file the SFV
  // lists: a hook run removes no other, and a listed 'a.rar_missing' is a file
  // of the release like any other.
  void find_marker(Pending& pending) {
    const std::string marker = missing_marker(settings_, pending.entry.file_name);
    if (release_.files.holds(marker)) {
      const std::optional<SfvEntry> listed = find_sfv_entry(sfv_, marker);
      if (listed && listed->file_name == marker) return;
      pending.marker = marker;
      claimed_markers_.insert(marker);
      return;
    }
    // A file named only like the marker, by the name rules, passes for it in
    // every hook run's count, and so keeps an entry that is there from
    // counting: it is stale then.
    const std::optional<std::size_t> alias = release_.files.find(marker);
    if (!alias || *alias == kClosingStar || find_sfv_entry(sfv_, list().name(*alias))) return;
    pending.alias_marker = std::string(list().name(*alias));
    claimed_markers_.insert(*pending.alias_marker);
  }

  EntryReport finish(const Pending& pending) {
    EntryReport report;
    report.sfv_name = std::string(pending.entry.file_name);
    report.expected_crc = pending.entry.expected_crc;
    report.marker = pending.marker;
    if (pending.own_job) {
      report.file = check_of(jobs_[*pending.own_job], own_crc_.at(*pending.own_job));
    }
    for (const auto& [job, expected] : pending.waiting_jobs) {
      report.waiting.push_back(check_of(jobs_[job], expected));
    }
    for (const auto& [job, expected] : pending.copy_jobs) {
      report.copies.push_back(check_of(jobs_[job], expected));
    }
    constexpr EntryState kByVerdict[] = {EntryState::ok, EntryState::bad, EntryState::unreadable};
    if (pending.counted) {
      report.state = EntryState::counted;
    } else if (report.file) {
      report.state = kByVerdict[static_cast<int>(report.file->verdict)];
    } else if (report.waiting.empty()) {
      report.state = EntryState::missing;
    } else if (const FileCheck* settled = settled_file(report.waiting)) {
      report.state = kByVerdict[static_cast<int>(settled->verdict)];
    } else {
      report.state = EntryState::waiting;
    }
    return report;
  }

  // The file that tells an entry's state when it is only under other names
  // and none of them waits for anything: a corrupt (or unreadable) file under
  // its bad name is what a hook run and the server left of a failed upload.
  // None when a file waits for its test, or matches and waits for its name.
  const FileCheck* settled_file(const std::vector<FileCheck>& waiting) const {
    for (const FileCheck& file : waiting) {
      if (file.verdict == Verdict::crc_ok ||
          ends_with_ignoring_case(file.name, settings_.untested_suffix)) {
        return nullptr;
      }
    }
    for (const FileCheck& file : waiting) {
      if (file.verdict == Verdict::crc_bad) return &file;
    }
    return &waiting.front();
  }

  // Stale markers and files the SFV has no part in.
  void collect_strays(ReleaseReport& report) {
    for (std::size_t i = 0; i < report.entries.size(); ++i) {
      const EntryState state = report.entries[i].state;
      if (state != EntryState::ok && state != EntryState::counted) continue;
      for (const std::optional<std::string>& marker :
           {pending_[i].marker, pending_[i].alias_marker}) {
        if (marker) report.stale_markers.push_back(*marker);
      }
    }
    const std::string& suffix = settings_.missing_suffix;
    for (std::size_t i = 0; i < list().size(); ++i) {
      if (list().kind(i) != EntryKind::regular) continue;
      const std::string name(list().name(i));
      if (name == release_.sfv_name || claimed_markers_.count(name) || waiting_names_.count(name) ||
          find_sfv_entry(sfv_, name)) {
        continue;
      }
      // Spelled as kuvo spells a marker, for a name that does not count.
      if (name.size() > suffix.size() && name.ends_with(suffix)) {
        report.stale_markers.push_back(name);
      } else {
        report.unlisted_files.push_back(name);
      }
    }
    std::sort(report.stale_markers.begin(), report.stale_markers.end());
    report.stale_markers.erase(
        std::unique(report.stale_markers.begin(), report.stale_markers.end()),
        report.stale_markers.end());
    std::sort(report.unlisted_files.begin(), report.unlisted_files.end());
  }

  // Status directories, as a hook run with -G recognises them, that do not
  // bear the name the progress found here calls for.
  void collect_stale_status(ReleaseReport& report) {
    const Progress progress = report.progress();
    const std::string due = status_directory_name(settings_, progress);
    for (std::size_t i = 0; i < list().size(); ++i) {
      if (list().kind(i) != EntryKind::other) continue;
      const std::string name(list().name(i));
      if (is_status_directory_name(settings_, name) && name != due) {
        report.stale_status.push_back(name);
      }
    }
    std::sort(report.stale_status.begin(), report.stale_status.end());
  }

  const Settings& settings_;
  Release& release_;
  const SfvIndex sfv_;
  // By the spelling of the entry their base names denote.
  std::map<std::string, std::vector<WaitingFile>> waiting_;
  std::set<std::string> waiting_names_;
  std::set<std::string> claimed_markers_;
  std::vector<Pending> pending_;
  std::vector<ReadJob> jobs_;
  std::unordered_map<std::string, std::size_t> job_of_name_;
  std::unordered_map<std::size_t, std::uint32_t> own_crc_;  // by job
};

// True when a real directory right below the working directory, whose listing
// is `listing`, holds an SFV file: the administrator likely meant -r.
bool holds_release_below(const NameList& listing) {
  for (std::size_t i = 0; i < listing.size(); ++i) {
    if (listing.kind(i) != EntryKind::other) continue;
    const std::string name(listing.name(i));
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const NameList below = scan_directory(name);
    if (below.readable() && find_release_sfv(below)) return true;
  }
  return false;
}

}  // namespace

int ReleaseReport::count(EntryState state) const {
  return static_cast<int>(std::count_if(
      entries.begin(), entries.end(), [state](const EntryReport& e) { return e.state == state; }));
}

Progress ReleaseReport::progress() const {
  const auto total = static_cast<std::int64_t>(entries.size());
  const std::int64_t there = count(EntryState::ok) + count(EntryState::counted);
  return Progress{total == 0 ? 0 : static_cast<int>(there * 100 / total), static_cast<int>(total)};
}

bool ReleaseReport::clean() const {
  for (const EntryReport& entry : entries) {
    for (const FileCheck& copy : entry.copies) {
      if (copy.verdict != Verdict::crc_ok) return false;
    }
  }
  return complete();
}

ReleaseReport examine_release(const Settings& settings, const AuditOptions& options) {
  ReleaseReport report;
  NameList listing = scan_directory(".");
  if (!listing.readable()) {
    report.problem = ReleaseProblem::unreadable_directory;
    return report;
  }
  std::optional<std::string> sfv_name = find_release_sfv(listing);
  if (!sfv_name) {
    report.problem = ReleaseProblem::no_sfv;
    report.sfv_below = holds_release_below(listing);
    return report;
  }
  Release release(std::move(listing));
  release.sfv_name = std::move(*sfv_name);
  release.sfv = load_sfv(release.sfv_name);
  if (release.sfv.empty()) {
    report.sfv_name = release.sfv_name;
    report.problem = ReleaseProblem::unparsable_sfv;
    // An SFV that does not open is not unparsable: say why it does not.
    const int fd = open(release.sfv_name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      report.problem = ReleaseProblem::unreadable_sfv;
      report.sfv_problem = std::strerror(errno);
    } else {
      close(fd);
    }
    return report;
  }
  return Examination(settings, release).run(options);
}

}  // namespace kuvo
