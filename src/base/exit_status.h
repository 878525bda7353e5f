// The exit status of a run: the program's contract with the upload server,
// which reads nothing back but the console text and this number.
#pragma once

namespace kuvo {

enum class ExitStatus : int {
  sfv_processed = 0,     // SFV arrival: release not complete, or no progress figure
  sfv_unusable = 1,      // SFV arrival: SFV unparsable or directory unreadable
  crc_okay = 2,          // single file: CRC matches; release not complete
  release_complete = 3,  // either mode: progress 100
  no_usable_sfv = 4,     // single file: directory unreadable, no SFV, SFV unparsable
  set_aside = 5,         // single file: not listed or unreadable; now untested
  crc_failed = 6,        // single file: CRC mismatch
  being_written = 7,     // single file: someone is still writing the upload; nothing changed
  setup_error = 255      // a setting is missing, a switch unusable, or memory ran out
};

// The number the process exits with. Cannot fail.
constexpr int exit_code(ExitStatus status) { return static_cast<int>(status); }

}  // namespace kuvo
