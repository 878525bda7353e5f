// What --check and --repair tell about one release, and the text lines that
// say it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verify/audit.h"
#include "verify/repair.h"

namespace kuvo {

enum class AdminCommand { check, repair, dry_run };

// One release as the command found it, and what it did to it.
struct ReleaseOutcome {
  std::string path;  // as given on the command line, or found below one
  int enter_error = 0;  // errno when the directory could not be entered; the report is then empty
  ReleaseReport report;  // after the repair, for a repair
  std::vector<RepairStep> plan;
  // A status directory that no longer matches the progress and that the
  // repair leaves, since it publishes no status directory without -G.
  std::optional<std::string> stale_status_dir;
  // -I cannot apply: the release's path is not below KUVO_BASEDIR, so the
  // repair made no status file and wrote no announce line.
  bool outside_base_dir = false;
};

// The exit status a release earns: 0 complete and all ok, 1 when an entry is
// not ok or nothing counts, 2 when it cannot be examined. Cannot fail.
int release_status(const ReleaseOutcome& outcome);

// `name` with every control byte and backslash shown as \xHH and "\\", so
// that no name from an upload can move the cursor or forge a line of its own.
// Cannot fail.
std::string printable(std::string_view name);

// The lines told about the release, each ended by "\n": the plan's steps,
// one line per entry that is not ok (every entry with `verbose`), stale
// markers, unlisted files, then the summary. Cannot fail.
std::string text_report(const ReleaseOutcome& outcome, bool verbose);

// The lines of the plan's steps alone, as text_report tells them. Cannot fail.
std::string plan_lines(const ReleaseOutcome& outcome);

// Why a step failed ("Unable to rename a to b: reason.") or was left; empty
// for a step planned or done. Cannot fail.
std::string step_problem(const RepairStep& step);

}  // namespace kuvo
