#include "fileset/name_index.h"

#include <algorithm>
#include <string>

#include "fileset/keyed_hash.h"
#include "fileset/name_lookup.h"

// The plain walks take, after the exact pass, the first entry in list order that
// passes either of two tests. An entry passes a test exactly when one of its keys
// equals one of the looked-up name's keys, so the first entry passing either test
// is the smallest of the first positions recorded under those keys.

namespace kuvo {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Where a key stands in an index's `text`; views are taken only once the text
// has stopped growing.
struct Span {
  std::size_t offset = 0;
  std::size_t size = 0;
};

Span append_normalised(std::vector<char>& text, std::string_view name) {
  Span span{text.size(), name.size()};
  for (char c : name) text.push_back(normalize_byte(c));
  return span;
}

// Appends the normalised name at `normalised` with its first ".OK." reduced to
// "."; returns false, appending nothing, when it holds none.
bool append_reduced(std::vector<char>& text, Span normalised, Span& reduced) {
  std::string_view source(text.data() + normalised.offset, normalised.size);
  const std::size_t at = source.find(".OK.");
  if (at == std::string_view::npos) return false;
  reduced = Span{text.size(), normalised.size - 3};
  for (std::size_t k = 0; k < normalised.size; ++k) {
    // The leading dot stays and "OK." goes; read by position, since appending
    // may move the text.
    if (k > at && k < at + 4) continue;
    const char c = text[normalised.offset + k];
    text.push_back(c);
  }
  return true;
}

std::string_view view(const std::vector<char>& text, Span span) {
  return std::string_view(text.data() + span.offset, span.size);
}

// Makes room for `keys` keys, with at least as many slots again left empty,
// so that probing stays short and always ends.
void reserve(FirstPositions& map, std::size_t keys) {
  std::size_t slots = 8;
  while (slots < 2 * keys) slots *= 2;
  map.slots.assign(slots, FirstPositions::Slot{});
}

// The slot that holds `key`, or the empty slot where it belongs.
template <typename Map>
auto& slot_for(Map& map, std::string_view key, std::size_t hash) {
  const std::size_t mask = map.slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    auto& slot = map.slots[i];
    if (slot.position == kNone || (slot.hash == hash && slot.key == key)) return slot;
  }
}

// Names come from uploaders, so the hash is keyed afresh for every run: no SFV
// can be made whose names crowd into one stretch of the table.
std::size_t hash_of(std::string_view key) { return keyed_hash(run_hash_key(), key); }

// Records `position` under `key` unless an earlier entry holds that key already.
void record(FirstPositions& map, std::string_view key, std::size_t position) {
  const std::size_t hash = hash_of(key);
  FirstPositions::Slot& slot = slot_for(map, key, hash);
  if (slot.position == kNone) slot = FirstPositions::Slot{hash, key, position};
}

std::size_t first_position(const FirstPositions& map, std::string_view key) {
  if (map.slots.empty()) return kNone;
  return slot_for(map, key, hash_of(key)).position;
}

// Records each name's exact and normalised key at its position in `names` and,
// with `with_reduced`, the reduced key of each name that has one under the
// normalised keys too: recording in list order keeps the first position of
// either kind. `text` receives the normalised names, then the reduced ones;
// keys view it only once it is complete, since growing may move it.
void index_names(const std::vector<std::string_view>& names, bool with_reduced, KeyText& text,
                 FirstPositions& exact, FirstPositions& normalised) {
  std::vector<Span> spans;
  spans.reserve(names.size());
  for (std::string_view name : names) spans.push_back(append_normalised(text.bytes, name));
  std::vector<Span> reduced(names.size());
  std::vector<bool> has_reduced(names.size(), false);
  for (std::size_t i = 0; with_reduced && i < names.size(); ++i)
    has_reduced[i] = append_reduced(text.bytes, spans[i], reduced[i]);

  reserve(exact, names.size());
  reserve(normalised, names.size() + static_cast<std::size_t>(
                                         std::count(has_reduced.begin(), has_reduced.end(), true)));
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i].data() == nullptr) continue;  // not to be found
    record(exact, names[i], i);
    record(normalised, view(text.bytes, spans[i]), i);
    if (has_reduced[i]) record(normalised, view(text.bytes, reduced[i]), i);
  }
}

}  // namespace

SfvIndex index_sfv_list(const SfvList& list) {
  SfvIndex index;
  index.list = &list;
  std::vector<std::string_view> names;
  names.reserve(list.size());
  for (const SfvEntry entry : list) names.push_back(entry.file_name);
  index_names(names, false, index.text, index.exact, index.normalised);
  return index;
}

NameIndex index_name_list(const NameList& list) {
  NameIndex index;
  index.list = &list;
  // Only regular files are looked up; every other entry stands in the index
  // without keys, so that positions stay those of the list.
  std::vector<std::string_view> names;
  names.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    names.push_back(list.kind(i) == EntryKind::regular ? list.name(i)
                                                       : std::string_view());  // no data: no keys
  }
  index_names(names, true, index.text, index.exact, index.normalised_or_reduced);
  return index;
}

std::optional<SfvEntry> find_sfv_entry(const SfvIndex& index, std::string_view name) {
  std::size_t found = first_position(index.exact, name);
  if (found == kNone) {
    // An entry passes when its normalised name equals the looked-up name
    // normalised, or that name normalised and reduced.
    std::string key = normalize_name(name);
    found = first_position(index.normalised, key);
    if (reduce_ok_segment(key)) found = std::min(found, first_position(index.normalised, key));
  }
  if (found == kNone) return std::nullopt;
  return (*index.list)[found];
}

std::optional<std::size_t> find_listed_name(const NameIndex& index, std::string_view name) {
  std::size_t found = first_position(index.exact, name);
  // An entry passes when its normalised name, or that name reduced, equals the
  // looked-up name normalised.
  if (found == kNone) found = first_position(index.normalised_or_reduced, normalize_name(name));
  if (found != kNone) return found;
  if (name == "*" && index.list->readable()) return kClosingStar;
  return std::nullopt;
}

std::optional<std::size_t> find_exact_name(const NameIndex& index, std::string_view name) {
  const std::size_t found = first_position(index.exact, name);
  if (found == kNone) return std::nullopt;
  return found;
}

}  // namespace kuvo
