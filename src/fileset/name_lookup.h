// Deciding when a name as the release directory spells it and a name as the SFV
// spells it denote the same file: case, ' ', '-', '_' against '.', and an extra
// ".OK." segment on the directory side.
#pragma once

#include <string>
#include <string_view>

#include "base/case_fold.h"
#include "fileset/directory_scanner.h"
#include "fileset/sfv_reader.h"

namespace kuvo {

// The byte that stands for `c` in a normalised name: ' ', '-' and '_' become '.',
// "a"-"z" become "A"-"Z", every other byte stays. Cannot fail.
constexpr char normalize_byte(char c) {
  if (c == ' ' || c == '-' || c == '_') return '.';
  return static_cast<char>(fold_byte(static_cast<unsigned char>(c)));
}

// Upper-cases "a"-"z" and turns ' ', '-' and '_' into '.'; same length. Cannot fail.
std::string normalize_name(std::string_view name);

// Reduces the first ".OK." of the normalised directory-side name `normalised`
// to "." (its leading dot stays); returns false, changing nothing, when there is none.
bool reduce_ok_segment(std::string& normalised);

// True when find_listed_name can match the directory-side `name` with some
// SFV-side name that ends in `suffix`; when false, a list searched only for
// such names gives the same answers without `name`. Cannot fail.
bool may_match_name_ending_in(std::string_view name, std::string_view suffix);

// The entry of `list` that the directory-side `name` denotes, or nullptr.
const SfvEntry* find_sfv_entry(const SfvList& list, std::string_view name);

// The entry of `list` that the SFV-side `name` denotes, or nullptr.
const NameEntry* find_listed_name(const NameList& list, std::string_view name);

}  // namespace kuvo
