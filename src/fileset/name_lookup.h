// Deciding when a name as the release directory spells it and a name as the SFV
// spells it denote the same file: case, ' ', '-', '_' against '.', and an extra
// ".OK." segment on the directory side.
#pragma once

#include <string>
#include <string_view>

#include "fileset/directory_scanner.h"
#include "fileset/sfv_reader.h"

namespace kuvo {

// Upper-cases "a"-"z" and turns ' ', '-' and '_' into '.'; same length. Cannot fail.
std::string normalize_name(std::string_view name);

// The entry of `list` that the directory-side `name` denotes, or nullptr.
const SfvEntry* find_sfv_entry(const SfvList& list, std::string_view name);

// The entry of `list` that the SFV-side `name` denotes, or nullptr.
const NameEntry* find_listed_name(const NameList& list, std::string_view name);

}  // namespace kuvo
