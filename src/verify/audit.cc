#include "verify/audit.h"

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
    return report;
  }

 private:
  // An entry whose files are being read.
  struct Pending {
    SfvEntry entry;
    std::optional<std::size_t> own_job;
    std::vector<std::pair<std::size_t, std::uint32_t>> waiting_jobs;  // job, expected CRC
    std::optional<std::string> marker;
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
      Pending pending{entry, {}, {}, {}};
      // Found by the rule that decides presence in every hook run, and read
      // against the entry that a hook run would check the file against.
      const std::optional<std::size_t> own = release_.files.find(entry.file_name);
      if (own && *own != kClosingStar) {
        const std::string name(list().name(*own));
        const std::optional<SfvEntry> checked_against = find_sfv_entry(sfv_, name);
        pending.own_job = job_for(name);
        own_crc_[*pending.own_job] =
            checked_against ? checked_against->expected_crc : entry.expected_crc;
      }
      // A waiting file belongs to the entry its base name denotes, which is
      // spelled exactly like every line that denotes it first: lines the SFV
      // repeats share their waiting files.
      if (auto waiting = waiting_.find(std::string(entry.file_name)); waiting != waiting_.end()) {
        for (const WaitingFile& file : waiting->second) {
          pending.waiting_jobs.emplace_back(job_for(file.name), file.entry.expected_crc);
        }
      }
      const std::optional<std::size_t> marker =
          release_.files.find(missing_marker(settings_, entry.file_name));
      if (marker && *marker != kClosingStar) {
        pending.marker = std::string(list().name(*marker));
        claimed_markers_.insert(*pending.marker);
      }
      pending_.push_back(std::move(pending));
    }
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
    if (report.file) {
      constexpr EntryState kByVerdict[] = {EntryState::ok, EntryState::bad, EntryState::unreadable};
      report.state = kByVerdict[static_cast<int>(report.file->verdict)];
    } else {
      report.state = report.waiting.empty() ? EntryState::missing : EntryState::waiting;
    }
    return report;
  }

  // Stale markers and files the SFV has no part in.
  void collect_strays(ReleaseReport& report) {
    for (const EntryReport& entry : report.entries) {
      if (entry.state == EntryState::ok && entry.marker)
        report.stale_markers.push_back(*entry.marker);
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

}  // namespace

int ReleaseReport::count(EntryState state) const {
  return static_cast<int>(std::count_if(
      entries.begin(), entries.end(), [state](const EntryReport& e) { return e.state == state; }));
}

Progress ReleaseReport::progress() const {
  const auto total = static_cast<std::int64_t>(entries.size());
  const std::int64_t ok = count(EntryState::ok);
  return Progress{total == 0 ? 0 : static_cast<int>(ok * 100 / total), static_cast<int>(total)};
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
    return report;
  }
  Release release(std::move(listing));
  release.sfv_name = std::move(*sfv_name);
  release.sfv = load_sfv(release.sfv_name);
  if (release.sfv.empty()) {
    report.problem = ReleaseProblem::unparsable_sfv;
    report.sfv_name = release.sfv_name;
    return report;
  }
  return Examination(settings, release).run(options);
}

}  // namespace kuvo
