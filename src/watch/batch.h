// One run of a release's pending uploads, in a process of its own: the hook's
// code works in the working directory, and a release that crashes or
// exhausts its run must not take the watcher with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "watch/watcher.h"

namespace kuvo {

// Where a directory lies below an upload area, and which directory it is.
struct DirPlace {
  int area_fd = -1;                // the upload area's descriptor
  std::vector<std::string> parts;  // one name a level, from the area down
  dev_t dev = 0;                   // what the directory was when it was found
  ino_t ino = 0;
};

// Opens the directory at `place` one level at a time without following a
// link at any level, and makes sure it is still the directory it was; -1,
// with errno set (ESTALE: another directory has taken its place), otherwise.
int open_place(const DirPlace& place);

// Files a run judged, by name, with the change time (ns) they had then. An
// event for a file still unchanged tells of nothing new: a catch-up run can
// judge a file whose close the watcher hears of only after the run began.
using JudgedFiles = std::unordered_map<std::string, std::int64_t>;

// The uploads of one release to judge in one go.
struct Batch {
  std::string release;               // the release's path, shown and told to the runs
  DirPlace place;                    // where it lies
  std::vector<std::string> uploads;  // names in the release, in the order they arrived
  bool catch_up = false;             // also every upload that completed unseen, first
  JudgedFiles judged;                // uploads left out while they are as an earlier run found them
};

// Forks a process that enters each batch's release in turn and judges the
// batch, printing what `options.describe` makes of each verdict as it
// stands, and closes the descriptors `close_fds` at once. It writes what it
// judged to `report` (see read_report()). Returns its id, or -1 with errno
// set when no process could be made.
pid_t start_batches(const std::vector<Batch>& batches, const WatchOptions& options,
                    const std::vector<int>& close_fds, int report);

// What the run of start_batches() wrote to `report`, read from its start: the
// files judged in each of its batches, by the batch's position. Cannot fail;
// a report cut short yields what it holds.
std::vector<JudgedFiles> read_report(int report, std::size_t batches);

}  // namespace kuvo
