// Listing a directory by kind of entry.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kuvo {

struct NameEntry {
  std::string name;  // bare entry name, no directory part
};

// Names in the reverse of the directory's order, then one extra entry "*".
// Empty means the directory could not be opened.
using NameList = std::vector<NameEntry>;

// Chooses entries by name alone, before their status is read.
using NameFilter = std::function<bool(std::string_view name)>;

// Lists the regular files of `path` (or, with `regular_only` false, every entry
// that is not a regular file), following symbolic links; returns the empty list
// when the directory cannot be opened or read to its end (EINTR is retried),
// and leaves out entries whose status
// cannot be read. With `wanted` given, entries whose names it rejects are left
// out before their status is read.
NameList scan_directory(bool regular_only, const std::string& path, const NameFilter& wanted = {});

}  // namespace kuvo
