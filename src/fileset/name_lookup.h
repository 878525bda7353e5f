// Deciding when a name as the release directory spells it and a name as the SFV
// spells it denote the same file: case, ' ', '-', '_' against '.', and an extra
// ".OK." segment on the directory side.
#pragma once

#include <cstddef>
#include <optional>
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

// Where a lookup in a listing found a name: the position of a regular file, or
// kClosingStar. Every readable listing is taken to close with an entry "*",
// which stands for a name "*" that no file spells, so an SFV entry "*" is
// always there.
inline constexpr std::size_t kClosingStar = static_cast<std::size_t>(-1);

// The name at `position` of `list`, "*" for kClosingStar. Cannot fail.
std::string_view listed_name(const NameList& list, std::size_t position);

// The entry of `list` that the directory-side `name` denotes, or none.
std::optional<SfvEntry> find_sfv_entry(const SfvList& list, std::string_view name);

// The position of the regular file of `list` that the SFV-side `name` denotes,
// kClosingStar for "*" when no file is spelled so, or none. A walk: for a single
// lookup; many lookups go through the index.
std::optional<std::size_t> find_listed_name(const NameList& list, std::string_view name);

}  // namespace kuvo
