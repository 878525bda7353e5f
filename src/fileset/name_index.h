// Name lookups for callers that look up many names in one list: the list is
// indexed once, and every lookup then costs a few hash probes instead of a walk
// that normalises the whole list again. A lookup through an index returns
// exactly the entry that the plain find_sfv_entry or find_listed_name returns
// for the same list and name, ties included.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "fileset/directory_scanner.h"
#include "fileset/sfv_reader.h"

namespace kuvo {

// For each key, the position of the first list entry that has it. An open
// hash table, at most half full, whose slots hold each key's hash: a probe
// mostly touches one slot and compares key bytes only on a full hash match,
// which keeps lookups quick once a large release's index outgrows the caches.
struct FirstPositions {
  struct Slot {
    std::size_t hash = 0;
    std::string_view key;
    std::size_t position = static_cast<std::size_t>(-1);  // -1: an empty slot
  };
  std::vector<Slot> slots;  // a power of two in number, or none
};

// The normalised and reduced names that an index's keys view, each once. It
// moves with its index without moving its bytes; a copy's keys would still view
// the original's bytes, so there is none.
struct KeyText {
  KeyText() = default;
  KeyText(KeyText&&) = default;
  KeyText& operator=(KeyText&&) = default;
  KeyText(const KeyText&) = delete;
  KeyText& operator=(const KeyText&) = delete;

  std::vector<char> bytes;
};

// Exact keys view the indexed list's own names, the others the index's text.
struct SfvIndex {
  const SfvList* list = nullptr;
  KeyText text;
  FirstPositions exact;       // by file_name as the SFV spells it
  FirstPositions normalised;  // by normalised file_name
};

struct NameIndex {
  const NameList* list = nullptr;
  KeyText text;
  FirstPositions exact;  // by name as the directory spells it
  // By normalised name, and by normalised name with its first ".OK." reduced to
  // "."; a looked-up name passes an entry's test when it equals either.
  FirstPositions normalised_or_reduced;
};

// Indexes `list`, which must stay alive and unchanged while the index is used.
// Cannot fail.
SfvIndex index_sfv_list(const SfvList& list);

// Indexes the regular files of `list`, which must stay alive and unchanged
// while the index is used. Cannot fail.
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
