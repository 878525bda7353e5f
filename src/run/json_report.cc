#include "run/json_report.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kuvo {
namespace {

using nlohmann::json;

std::string hex8(std::uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crc));
  return text;
}

// Puts the file name `bytes` under `key`, and under key + "_hex" when it is
// not valid UTF-8, so that a reader can always get the exact bytes back.
void put_name(json& object, const std::string& key, std::string_view bytes) {
  object[key] = std::string(bytes);
  if (!is_valid_utf8(bytes)) object[key + "_hex"] = hex_bytes(bytes);
}

json name_object(std::string_view name) {
  json object = json::object();
  put_name(object, "name", name);
  return object;
}

const char* state_name(EntryState state) {
  constexpr const char* kNames[] = {"ok", "bad", "missing", "unreadable", "waiting", "counted"};
  return kNames[static_cast<int>(state)];
}

json file_object(const FileCheck& file) {
  constexpr const char* kVerdicts[] = {"crc_ok", "crc_bad", "unreadable"};
  json object = name_object(file.name);
  object["verdict"] = kVerdicts[static_cast<int>(file.verdict)];
  object["expected_crc"] = hex8(file.expected_crc);
  object["actual_crc"] = file.actual_crc ? json(hex8(*file.actual_crc)) : json(nullptr);
  if (file.verdict == Verdict::unreadable) object["problem"] = file.problem;
  return object;
}

json entry_object(const EntryReport& entry) {
  json object = name_object(entry.sfv_name);
  object["state"] = state_name(entry.state);
  object["expected_crc"] = hex8(entry.expected_crc);
  object["file"] = entry.file ? file_object(*entry.file) : json(nullptr);
  json waiting = json::array();
  for (const FileCheck& file : entry.waiting) waiting.push_back(file_object(file));
  object["waiting"] = std::move(waiting);
  json copies = json::array();
  for (const FileCheck& file : entry.copies) copies.push_back(file_object(file));
  object["copies"] = std::move(copies);
  if (entry.marker) {
    put_name(object, "marker", *entry.marker);
  } else {
    object["marker"] = nullptr;
  }
  return object;
}

json step_object(const RepairStep& step) {
  constexpr const char* kActions[] = {"rename", "exchange", "create_marker", "remove_marker",
                                      "clash"};
  json object = json::object();
  object["action"] = kActions[static_cast<int>(step.kind)];
  put_name(object, "name", step.name);
  if (!step.target.empty()) put_name(object, "target", step.target);
  constexpr const char* kOutcomes[] = {"planned", "done", "failed", "changed"};
  object["outcome"] = kOutcomes[static_cast<int>(step.outcome)];
  const std::string problem = step_problem(step);
  object["failure"] = problem.empty() ? json(nullptr) : json(problem);
  return object;
}

json summary_object(const ReleaseReport& report) {
  const Progress progress = report.progress();
  return json{{"entries", report.entries.size()},
              {"ok", report.count(EntryState::ok)},
              {"bad", report.count(EntryState::bad)},
              {"missing", report.count(EntryState::missing)},
              {"unreadable", report.count(EntryState::unreadable)},
              {"waiting", report.count(EntryState::waiting)},
              {"counted", report.count(EntryState::counted)},
              {"stale_markers", report.stale_markers.size()},
              {"unlisted", report.unlisted_files.size()},
              {"progress", progress.percent},
              {"complete", progress.complete()}};
}

const char* problem_text(const ReleaseOutcome& outcome) {
  if (outcome.enter_error != 0) return "cannot enter the directory";
  switch (outcome.report.problem) {
    case ReleaseProblem::unreadable_directory:
      return "cannot read the directory";
    case ReleaseProblem::no_sfv:
      return "no SFV file";
    case ReleaseProblem::unreadable_sfv:
      return "SFV file cannot be read";
    case ReleaseProblem::unparsable_sfv:
      return "SFV file is unparsable";
    case ReleaseProblem::none:
      break;
  }
  return "";
}

}  // namespace

std::string hex_bytes(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    text += kHex[static_cast<unsigned char>(c) >> 4];
    text += kHex[static_cast<unsigned char>(c) & 0xf];
  }
  return text;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length;
    std::uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past Unicode's end.
    constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string json_report(const ReleaseOutcome& outcome, AdminCommand command) {
  constexpr const char* kCommands[] = {"check", "repair", "dry_run"};
  json object = json::object();
  put_name(object, "path", outcome.path);
  object["command"] = kCommands[static_cast<int>(command)];
  object["status"] = release_status(outcome);
  const ReleaseReport& report = outcome.report;
  if (release_status(outcome) == 2) {
    object["error"] = problem_text(outcome);
    if (outcome.enter_error != 0) object["reason"] = std::strerror(outcome.enter_error);
    if (report.problem == ReleaseProblem::unreadable_sfv) object["reason"] = report.sfv_problem;
    if (report.sfv_below) object["sfv_below"] = true;
  }
  if (report.sfv_name.empty()) {
    object["sfv"] = nullptr;
  } else {
    put_name(object, "sfv", report.sfv_name);
  }
  if (report.problem == ReleaseProblem::none && outcome.enter_error == 0) {
    json entries = json::array();
    for (const EntryReport& entry : report.entries) entries.push_back(entry_object(entry));
    object["entries"] = std::move(entries);
    json stale = json::array();
    for (const std::string& name : report.stale_markers) stale.push_back(name_object(name));
    object["stale_markers"] = std::move(stale);
    json unlisted = json::array();
    for (const std::string& name : report.unlisted_files) unlisted.push_back(name_object(name));
    object["unlisted"] = std::move(unlisted);
    json stale_status = json::array();
    for (const std::string& name : report.stale_status) stale_status.push_back(name_object(name));
    object["stale_status"] = std::move(stale_status);
    object["summary"] = summary_object(report);
  }
  if (command != AdminCommand::check) {
    json plan = json::array();
    for (const RepairStep& step : outcome.plan) plan.push_back(step_object(step));
    object["plan"] = std::move(plan);
    if (outcome.stale_status_dir) put_name(object, "stale_status_dir", *outcome.stale_status_dir);
    if (outcome.outside_base_dir) object["outside_base_dir"] = true;
  }
  // Replacing invalid UTF-8 instead of throwing: the bytes are under "_hex".
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace kuvo
