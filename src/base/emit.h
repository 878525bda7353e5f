// Everything kuvo says reaches the uploader through the console, and the
// administrator through the optional log file.
#pragma once

#include <string>
#include <string_view>

namespace kuvo {

struct Settings;

// Whether a message ends its console line, or the next message continues it.
enum class LineEnd { crlf, none };

// Writes `text` to the settings' console (with "\r\n" unless `end` is none), flushes
// it, and appends it behind a time stamp to the log file when -L is on; a log
// file that cannot be opened is skipped silently.
void emit_message(const Settings& settings, std::string_view text, LineEnd end = LineEnd::crlf);

// The current local time as ctime writes it, without the line feed; an empty
// text when the clock cannot be read.
std::string time_stamp();

// Appends `line` to the file at `path` (created with mode 0666 under the run's
// mask) in a single write, so that concurrent runs never interleave within a
// line; returns false when the file cannot be opened or written, after taking
// back whatever part of the line a failing write left behind.
bool append_line_to_file(const std::string& path, std::string_view line);

}  // namespace kuvo
