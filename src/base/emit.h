// Everything kuvo says reaches the uploader through the console, and the
// administrator through the optional log file.
#pragma once

#include <string>
#include <string_view>

namespace kuvo {

struct Settings;

// Writes `text` to standard output (with "\r\n" when `line_end`), flushes it,
// and appends it behind a time stamp to the log file when -L is on; a log file
// that cannot be opened is skipped silently.
void emit_message(const Settings& settings, bool line_end, std::string_view text);

// The current local time as ctime writes it, without the line feed; an empty
// text when the clock cannot be read.
std::string time_stamp();

// Appends `line` to the file at `path` (created with mode 0666 under the run's
// mask) in a single write, so that concurrent runs never interleave within a
// line; returns false when the file cannot be opened or written, after taking
// back whatever part of the line a failing write left behind.
bool append_line_to_file(const std::string& path, std::string_view line);

}  // namespace kuvo
