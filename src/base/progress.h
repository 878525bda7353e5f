// How far a release has come: the figure a run computes and publishes.
#pragma once

namespace kuvo {

struct Progress {
  int percent = 0;  // 0 to 100, rounded down
  int total = 0;    // the SFV entries that count towards the release

  // A release is complete when every counted entry is there.
  constexpr bool complete() const { return percent > 99; }
};

// Which upload started the run: a file of the release, or its SFV.
enum class Upload { release_file, sfv_file };

}  // namespace kuvo
