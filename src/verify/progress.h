// How complete a release is: the share of its counted SFV entries whose
// missing marker is gone and whose file is there.
#pragma once

#include "base/settings.h"
#include "fileset/directory_scanner.h"

namespace kuvo {

// The release's SFV file: the first entry of `files` (a listing of regular
// files) that passes the SFV-name test; nullptr when there is none.
const NameEntry* find_release_sfv(const NameList& files);

// The progress in whole percent (0 to 100) with the number of counted entries
// in `total`; -1, after emitting the reason where there is one, when the SFV
// (the upload itself when `sfv_given`, else the one found in the release
// directory) or the directory cannot be read. `total` is left alone then.
int compute_progress(const Settings& settings, int& total, bool sfv_given);

}  // namespace kuvo
