#include "run/admin_report.h"

#include <cstdio>
#include <cstring>

namespace kuvo {
namespace {

std::string hex8(std::uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crc));
  return text;
}

// A name inside the release, shown with the release's path unless that is ".".
std::string shown(const ReleaseOutcome& outcome, std::string_view name) {
  if (outcome.path == ".") return printable(name);
  return printable(outcome.path) + "/" + printable(name);
}

std::string verdict_text(const FileCheck& file) {
  switch (file.verdict) {
    case Verdict::crc_ok:
      return "CRC ok";
    case Verdict::crc_bad:
      return "expected " + hex8(file.expected_crc) + ", got " + hex8(*file.actual_crc);
    case Verdict::unreadable:
      break;
  }
  return "unreadable: " + file.problem;
}

// " as <name>" when the entry's file is spelled otherwise than its SFV line.
std::string spelled_as(const EntryReport& entry) {
  if (!entry.file || entry.file->name == entry.sfv_name) return {};
  return " as " + printable(entry.file->name);
}

std::string entry_line(const ReleaseOutcome& outcome, const EntryReport& entry) {
  const std::string name = shown(outcome, entry.sfv_name);
  switch (entry.state) {
    case EntryState::ok:
      return "OK " + name + spelled_as(entry);
    case EntryState::bad:
      return "BAD " + name + spelled_as(entry) + " (" + verdict_text(*entry.file) + ")";
    case EntryState::missing:
      return "MISSING " + name;
    case EntryState::unreadable:
      return "UNREADABLE " + name + spelled_as(entry) + " (" + printable(entry.file->problem) + ")";
    case EntryState::waiting:
      break;
  }
  std::string line = "WAITING " + name + " as ";
  for (std::size_t i = 0; i < entry.waiting.size(); ++i) {
    if (i > 0) line += ", ";
    line +=
        printable(entry.waiting[i].name) + " (" + printable(verdict_text(entry.waiting[i])) + ")";
  }
  return line;
}

std::string step_line(const ReleaseOutcome& outcome, const RepairStep& step) {
  const std::string name = shown(outcome, step.name);
  switch (step.kind) {
    case RepairStep::Kind::rename:
      return "RENAME " + name + " -> " + printable(step.target);
    case RepairStep::Kind::exchange:
      return "EXCHANGE " + name + " <-> " + printable(step.target);
    case RepairStep::Kind::create_marker:
      return "CREATE " + name;
    case RepairStep::Kind::remove_marker:
      return "REMOVE " + name;
    case RepairStep::Kind::clash:
      break;
  }
  if (step.target.empty()) return "CLASH " + name + " (not an empty marker; left)";
  return "CLASH " + name + " -> " + printable(step.target) + " (target exists; both left)";
}

// The line of a step that was carried out otherwise than planned.
std::string outcome_line(const ReleaseOutcome& outcome, const RepairStep& step) {
  const std::string name = shown(outcome, step.name);
  switch (step.outcome) {
    case RepairStep::Outcome::failed:
      return "FAILED " + name + ": " + printable(step_problem(step)) + "\n";
    case RepairStep::Outcome::changed:
      return "CHANGED " + name + " (" + step_problem(step) + ")\n";
    case RepairStep::Outcome::planned:
    case RepairStep::Outcome::done:
      break;
  }
  return {};
}

std::string problem_line(const ReleaseOutcome& outcome) {
  const std::string path = printable(outcome.path);
  if (outcome.enter_error != 0)
    return "ERROR " + path + ": cannot enter the directory: " + std::strerror(outcome.enter_error);
  switch (outcome.report.problem) {
    case ReleaseProblem::unreadable_directory:
      return "ERROR " + path + ": cannot read the directory";
    case ReleaseProblem::no_sfv:
      return "ERROR " + path + ": no SFV file";
    case ReleaseProblem::unparsable_sfv:
      return "ERROR " + path + ": SFV file " + printable(outcome.report.sfv_name) +
             " is unparsable";
    case ReleaseProblem::none:
      break;
  }
  return {};
}

std::string summary_line(const ReleaseOutcome& outcome) {
  const ReleaseReport& report = outcome.report;
  auto count = [&report](EntryState state) { return std::to_string(report.count(state)); };
  return "SUMMARY " + printable(outcome.path) + ": " + std::to_string(report.entries.size()) +
         " entries, " + count(EntryState::ok) + " ok, " + count(EntryState::bad) + " bad, " +
         count(EntryState::missing) + " missing, " + count(EntryState::unreadable) +
         " unreadable, " + count(EntryState::waiting) + " waiting, " +
         std::to_string(report.stale_markers.size()) + " stale, " +
         std::to_string(report.unlisted_files.size()) + " unlisted; progress " +
         std::to_string(report.progress().percent) + "%";
}

}  // namespace

std::string step_problem(const RepairStep& step) {
  if (step.outcome == RepairStep::Outcome::changed) {
    return step.kind == RepairStep::Kind::remove_marker ? "no longer an empty marker; left"
                                                        : "not the file that was read; left";
  }
  if (step.outcome != RepairStep::Outcome::failed) return {};
  const std::string why = std::string(": ") + std::strerror(step.error) + ".";
  switch (step.kind) {
    case RepairStep::Kind::rename:
      return "Unable to rename " + step.name + " to " + step.target + why;
    case RepairStep::Kind::exchange:
      return "Unable to exchange " + step.name + " and " + step.target + why;
    case RepairStep::Kind::create_marker:
      return "Unable to create marker " + step.name + why;
    case RepairStep::Kind::remove_marker:
      return "Unable to remove marker " + step.name + why;
    case RepairStep::Kind::clash:
      break;
  }
  return {};
}

int release_status(const ReleaseOutcome& outcome) {
  if (outcome.enter_error != 0 || outcome.report.problem != ReleaseProblem::none) return 2;
  return outcome.report.complete() ? 0 : 1;
}

std::string printable(std::string_view name) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xf];
    } else {
      text += c;
    }
  }
  return text;
}

std::string plan_lines(const ReleaseOutcome& outcome) {
  std::string text;
  for (const RepairStep& step : outcome.plan) {
    text += step_line(outcome, step) + "\n" + outcome_line(outcome, step);
  }
  return text;
}

std::string text_report(const ReleaseOutcome& outcome, bool verbose) {
  // The steps come first, so that what was done is told even of a release
  // that could not be looked at again afterwards.
  std::string text = plan_lines(outcome);
  if (release_status(outcome) == 2) return text + problem_line(outcome) + "\n";
  if (outcome.stale_status_dir) {
    text += "NOTE " + shown(outcome, *outcome.stale_status_dir) +
            ": stale status directory; --repair refreshes it only with -G\n";
  }
  if (outcome.outside_base_dir) {
    text += "NOTE " + printable(outcome.path) +
            ": not below KUVO_BASEDIR, so -I cannot apply: no status file, no announce line\n";
  }
  for (const EntryReport& entry : outcome.report.entries) {
    if (verbose || entry.state != EntryState::ok) text += entry_line(outcome, entry) + "\n";
  }
  for (const std::string& marker : outcome.report.stale_markers) {
    text += "STALE " + shown(outcome, marker) + "\n";
  }
  for (const std::string& file : outcome.report.unlisted_files) {
    text += "UNLISTED " + shown(outcome, file) + "\n";
  }
  return text + summary_line(outcome) + "\n";
}

}  // namespace kuvo
