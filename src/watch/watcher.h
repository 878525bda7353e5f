// kuvo --watch: a long-running process that watches upload areas and runs,
// for every completed upload into a release directory, what a hook run does
// for it, through the same code.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "verify/upload_batch.h"

namespace kuvo {

// The lines standard output gets for one verdict on an upload in `release`,
// each ending in "\n" and written with one call.
using DescribeVerdict =
    std::function<std::vector<std::string>(const std::string& release, const UploadVerdict&)>;

struct WatchOptions {
  std::vector<std::string> dirs;  // the upload areas, absolute and without trailing slashes
  int depth = 1;                  // release directories lie this many levels below each
  std::chrono::nanoseconds settle = std::chrono::seconds(2);  // quiet time before a run
  unsigned jobs = 1;                                          // runs at once, each in its release
  std::optional<std::string> user;                            // whom to run as after start
  Settings settings;                                          // what every run is told
  DescribeVerdict describe;  // none: the plain lines of plain_verdict_lines()
};

// "<release>/<file>: <line>\n" for each console line of the verdict, CR LF
// taken off, control bytes of names and lines shown as "\xNN" so that a
// hostile name cannot forge a line of its own. Cannot fail.
std::vector<std::string> plain_verdict_lines(const std::string& release,
                                             const UploadVerdict& verdict);

// Watches until SIGTERM or SIGINT, after which the runs in progress finish,
// and returns 0; returns 1, after a line on standard error, when it cannot
// start: a directory cannot be opened, the kernel offers no watching, or the
// user cannot be taken on. Trouble later is told on standard error and
// watching goes on. At start, after the kernel's event queue overflowed and
// on SIGHUP, it looks at every directory again (watching what it could not
// before) and catches up every release.
int watch(const WatchOptions& options);

}  // namespace kuvo
