// Which names in a release directory stand for uploads the watcher judges:
// not the temporary names clients write under before their upload is done,
// and not the names kuvo itself gives files (markers, the untested and bad
// names), whose changes would otherwise set off run after run.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

namespace kuvo {

enum class NameKind {
  upload,   // a completed upload, once it is left alone
  partial,  // a client's temporary name; the finished upload arrives under another name
  own       // a name kuvo makes: a marker, an untested or a bad name
};

// What `name`, an entry of a release directory, stands for under `settings`'
// suffixes. Partial: rsync's ".NAME.XXXXXX", ProFTPD's hidden ".in.NAME.",
// pure-ftpd's ".pureftpd-upload.*", "*.part" and "*.filepart". Cannot fail.
NameKind classify_name(const Settings& settings, std::string_view name);

// True when `name`, a directory in an upload area, is where rsync keeps files
// it has not moved into place yet: ".~tmp~" (--delay-updates) and
// ".rsync-partial" (--partial-dir's default). Such a directory is never
// watched, whatever its depth: a run in it would judge, and might rename, a
// file rsync is about to move. Cannot fail.
bool is_client_staging_dir(std::string_view name);

// The files the runs themselves write that may lie in a release directory:
// the log (-L), the announce file and the base directory's status files (-I).
class OwnFiles {
 public:
  // Notes where the files of `settings` lie; a directory that does not exist
  // yet is looked at again on each question. Cannot fail.
  explicit OwnFiles(const Settings& settings);

  // True when `name` in the directory with device `dev` and inode `ino` is
  // one of them (every name in the base directory is). Cannot fail.
  bool holds(dev_t dev, ino_t ino, std::string_view name) const;

 private:
  struct Place {
    std::string dir;   // absolute, or empty: the release directory itself
    std::string name;  // empty: every name in `dir`
  };
  std::vector<Place> places_;
};

}  // namespace kuvo
