// Name lookups for callers that look up many names in one list: the list is
// indexed once, and every lookup then costs one hash and a few probes instead
// of a walk that normalises the whole list again. A lookup through an index
// returns exactly the entry that the plain find_sfv_entry or find_listed_name
// returns for the same list and name, ties included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fileset/directory_scanner.h"
#include "fileset/sfv_reader.h"

namespace kuvo {

// For each key, the position of the first list entry that has it. An open hash
// table, at most half full, whose slots hold a position and 32 bits of its
// key's hash; the key itself is derived again from the list's own text when
// the bits match. A probe mostly touches one slot of 8 bytes, which keeps
// lookups quick once a large release's index outgrows the caches.
struct FirstPositions {
  struct Slot {
    std::uint32_t position = kEmpty;
    std::uint32_t hash_bits = 0;
  };
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFF;
  std::vector<Slot> slots;  // none, or more than twice as many as keys
};

// The keys of an indexed list. Equal names have equal normalised names, so
// the first entry with a normalised name is also the first spelled as it is
// spelled, and one table with one hash of a looked-up name serves its exact
// and its normalised test; only entries spelled unlike the first of their
// normalised name need another.
struct NameKeys {
  FirstPositions normalised;       // by normalised name
  FirstPositions other_spellings;  // by name as spelled, for those other entries
  // By normalised name with its first ".OK." reduced to ".", directory names
  // only; a looked-up name passes an entry's test when it equals either key.
  FirstPositions reduced;
};

struct SfvIndex {
  const SfvList* list = nullptr;
  NameKeys keys;  // by file_name as the SFV spells it
};

struct NameIndex {
  const NameList* list = nullptr;
  NameKeys keys;  // by name as the directory spells it
};

// Indexes `list`, which must stay alive and unchanged while the index is used.
// Cannot fail; a list of 2^32 - 1 entries or more ends the process.
SfvIndex index_sfv_list(const SfvList& list);

// Indexes the regular files of `list`, which must stay alive and unchanged
// while the index is used. Cannot fail; a list of 2^32 - 1 entries or more
// ends the process.
NameIndex index_name_list(const NameList& list);

// The entry that the directory-side `name` denotes, as find_sfv_entry on the
// indexed list gives it, or none.
std::optional<SfvEntry> find_sfv_entry(const SfvIndex& index, std::string_view name);

// The position that the SFV-side `name` denotes, as find_listed_name on the
// indexed list gives it, or none.
std::optional<std::size_t> find_listed_name(const NameIndex& index, std::string_view name);

// The position of the regular file spelled exactly `name`, or none: whether a
// name the run would remove is there at all.
std::optional<std::size_t> find_exact_name(const NameIndex& index, std::string_view name);

}  // namespace kuvo
