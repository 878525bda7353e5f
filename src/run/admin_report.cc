#include "run/admin_report.h"

#include <cstdio>
#include <cstring>

#include "run/json_report.h"

namespace kuvo {
namespace {

// True when the byte at `at` of `name`, from 0x80 to 0xBF, continues a well
// formed UTF-8 character begun before it.
bool continues(std::string_view name, std::size_t at) {
  std::size_t lead = at;
  while (lead > 0 && at - lead < 3 && (static_cast<unsigned char>(name[lead]) & 0xc0) == 0x80) {
    --lead;
  }
  const auto first = static_cast<unsigned char>(name[lead]);
  const std::size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc2 ? 2 : 0;
  if (length == 0 || lead + length <= at || lead + length > name.size()) return false;
  return is_valid_utf8(name.substr(lead, length));
}

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

// The line that tells what `file` is, read against `entry`: "OK", "BAD" or
// "UNREADABLE", with " as <name>" when it is spelled otherwise than the SFV
// line.
std::string file_line(const ReleaseOutcome& outcome, const EntryReport& entry,
                      const FileCheck& file) {
  constexpr const char* kWords[] = {"OK ", "BAD ", "UNREADABLE "};
  std::string line = kWords[static_cast<int>(file.verdict)] + shown(outcome, entry.sfv_name);
  if (file.name != entry.sfv_name) line += " as " + printable(file.name);
  switch (file.verdict) {
    case Verdict::crc_ok:
      return line;
    case Verdict::crc_bad:
      return line + " (" + verdict_text(file) + ")";
    case Verdict::unreadable:
      break;
  }
  return line + " (" + printable(file.problem) + ")";
}

// The file an entry's line tells of: its own, or the one under another name
// that settled its state. None when it is missing, waiting or counted.
const FileCheck* telling_file(const EntryReport& entry) {
  if (entry.file) return &*entry.file;
  if (entry.state != EntryState::bad && entry.state != EntryState::unreadable) return nullptr;
  const Verdict settled = entry.state == EntryState::bad ? Verdict::crc_bad : Verdict::unreadable;
  for (const FileCheck& file : entry.waiting) {
    if (file.verdict == settled) return &file;
  }
  return nullptr;
}

std::string entry_line(const ReleaseOutcome& outcome, const EntryReport& entry) {
  const std::string name = shown(outcome, entry.sfv_name);
  if (const FileCheck* file = telling_file(entry)) return file_line(outcome, entry, *file);
  switch (entry.state) {
    case EntryState::counted:
      return "COUNTED " + name +
             (entry.is_sfv_itself() ? " (the SFV itself; never checked, renamed or marked)"
                                    : " (there for every hook run)");
    case EntryState::waiting:
      break;
    default:
      return "MISSING " + name;
  }
  std::string line = "WAITING " + name + " as ";
  for (std::size_t i = 0; i < entry.waiting.size(); ++i) {
    if (i > 0) line += ", ";
    line +=
        printable(entry.waiting[i].name) + " (" + printable(verdict_text(entry.waiting[i])) + ")";
  }
  return line;
}

// The entry's line, then one for each other file judged against it that its
// line does not tell of: a copy under an equivalent name, or one under its
// bad or untested name beside the file under its own. Lines of files that
// match, of entries that are OK, only with `verbose`.
std::string entry_lines(const ReleaseOutcome& outcome, const EntryReport& entry, bool verbose) {
  const bool entry_ok = entry.state == EntryState::ok;
  std::string text;
  if (verbose || !entry_ok) text += entry_line(outcome, entry) + "\n";
  const FileCheck* told = telling_file(entry);
  auto add = [&](const FileCheck& file) {
    if (&file == told || !(verbose || !entry_ok || file.verdict != Verdict::crc_ok)) return;
    text += file_line(outcome, entry, file) + "\n";
  };
  if (entry.state != EntryState::waiting) {
    for (const FileCheck& file : entry.waiting) add(file);
  }
  for (const FileCheck& file : entry.copies) add(file);
  return text;
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
      return "ERROR " + path + ": no SFV file" +
             (outcome.report.sfv_below ? " (directories below hold SFV files: use -r)" : "");
    case ReleaseProblem::unreadable_sfv:
      return "ERROR " + path + ": SFV file " + printable(outcome.report.sfv_name) +
             ": cannot read: " + printable(outcome.report.sfv_problem);
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
         (report.count(EntryState::counted) > 0 ? count(EntryState::counted) + " counted, " : "") +
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
  return outcome.report.clean() ? 0 : 1;
}

std::string printable(std::string_view name) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(name.size());
  auto escape = [&text](unsigned char byte) {
    text += "\\x";
    text += kHex[byte >> 4];
    text += kHex[byte & 0xf];
  };
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
      // A C1 control character in UTF-8, U+0080 to U+009F: both bytes.
      escape(byte);
      escape(next);
      ++i;
    } else if (byte < 0x20 || byte == 0x7f ||
               (byte >= 0x80 && byte <= 0x9f && !continues(name, i))) {
      // A byte 0x80 to 0x9F is a C1 control character to a terminal that
      // does not take UTF-8, unless it continues a UTF-8 character.
      escape(byte);
    } else {
      text += name[i];
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
    text += entry_lines(outcome, entry, verbose);
  }
  for (const std::string& marker : outcome.report.stale_markers) {
    text += "STALE " + shown(outcome, marker) + "\n";
  }
  for (const std::string& dir : outcome.report.stale_status) {
    text += "STALE " + shown(outcome, dir) + " (status directory; progress " +
            std::to_string(outcome.report.progress().percent) + "%)\n";
  }
  for (const std::string& file : outcome.report.unlisted_files) {
    text += "UNLISTED " + shown(outcome, file) + "\n";
  }
  return text + summary_line(outcome) + "\n";
}

}  // namespace kuvo
