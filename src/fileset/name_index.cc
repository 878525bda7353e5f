#include "fileset/name_index.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileset/keyed_hash.h"
#include "fileset/name_lookup.h"

// The plain walks take, after the exact pass, the first entry in list order that
// passes either of two tests. An entry passes a test exactly when one of its keys
// equals one of the looked-up name's keys, so the first entry passing either test
// is the smallest of the first positions recorded under those keys.

namespace kuvo {
namespace {

using Slot = FirstPositions::Slot;
constexpr std::uint32_t kEmpty = FirstPositions::kEmpty;

constexpr std::array<char, 256> kNormalisedByte = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = normalize_byte(static_cast<char>(c));
  return table;
}();

// A name normalised into a buffer of its own, on the stack unless it is long.
// Its text views that buffer, so it is neither copied nor moved.
class NormalisedName {
 public:
  explicit NormalisedName(std::string_view name) : size_(name.size()) {
    if (size_ > sizeof local_) long_.resize(size_);
    bytes_ = size_ > sizeof local_ ? long_.data() : local_;
    // A rolling window of the last four bytes spots the first ".OK." on the way.
    std::uint32_t window = 0;
    for (std::size_t i = 0; i < size_; ++i) {
      const char c = kNormalisedByte[static_cast<unsigned char>(name[i])];
      bytes_[i] = c;
      window = window << 8 | static_cast<unsigned char>(c);
      if (window == kOkSegment && ok_at_ == kNoOk) ok_at_ = i - 3;
    }
  }
  NormalisedName(const NormalisedName&) = delete;
  NormalisedName& operator=(const NormalisedName&) = delete;

  std::string_view text() const { return {bytes_, size_}; }

  // Reduces the first ".OK." to "." (its leading dot stays); false, changing
  // nothing, when there is none.
  bool reduce() {
    if (ok_at_ == kNoOk) return false;
    std::memmove(bytes_ + ok_at_ + 1, bytes_ + ok_at_ + 4, size_ - ok_at_ - 4);
    size_ -= 3;
    ok_at_ = kNoOk;
    return true;
  }

 private:
  static constexpr std::uint32_t kOkSegment = '.' << 24 | 'O' << 16 | 'K' << 8 | '.';
  static constexpr std::size_t kNoOk = static_cast<std::size_t>(-1);

  char local_[256];
  std::string long_;
  char* bytes_;
  std::size_t size_;
  std::size_t ok_at_ = kNoOk;
};

// Names come from uploaders, so the hash is keyed afresh for every run: no SFV
// can be made whose names crowd into one stretch of the table.
std::uint64_t hash_of(std::string_view normalised) {
  return keyed_hash(run_hash_key(), normalised);
}

// True when `name` normalises to `normalised`.
bool normalises_to(std::string_view name, std::string_view normalised) {
  if (name.size() != normalised.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (kNormalisedByte[static_cast<unsigned char>(name[i])] != normalised[i]) return false;
  }
  return true;
}

// True when `name` normalises and reduces to `reduced`.
bool reduces_to(std::string_view name, std::string_view reduced) {
  if (name.size() != reduced.size() + 3) return false;
  NormalisedName key(name);
  return key.reduce() && key.text() == reduced;
}

// Makes room for `keys` keys with more slots than that left empty, so that
// probing stays short and always ends; no slots at all for no keys.
void reserve(FirstPositions& map, std::size_t keys) {
  map.slots.assign(keys == 0 ? 0 : 2 * keys + 1, Slot{});
}

// Where probing for `hash` starts: its low half scaled to the table.
std::size_t home(const FirstPositions& map, std::uint64_t hash) {
  const std::size_t size = map.slots.size();
  if (size <= 0xFFFFFFFFu) return static_cast<std::size_t>(((hash & 0xFFFFFFFFu) * size) >> 32);
  return static_cast<std::size_t>(hash % size);
}

// The slot holding the key that hashes to `hash` and whose position passes
// `is_key`, or the empty slot where it belongs. The table must have slots.
template <typename Map, typename IsKey>
auto& slot_for(Map& map, std::uint64_t hash, IsKey is_key) {
  const auto bits = static_cast<std::uint32_t>(hash >> 32);
  const std::size_t size = map.slots.size();
  for (std::size_t i = home(map, hash);; i = i + 1 == size ? 0 : i + 1) {
    auto& slot = map.slots[i];
    if (slot.position == kEmpty || (slot.hash_bits == bits && is_key(slot.position))) return slot;
  }
}

// The first position recorded under the key, kEmpty when none is.
template <typename IsKey>
std::uint32_t first_position(const FirstPositions& map, std::uint64_t hash, IsKey is_key) {
  if (map.slots.empty()) return kEmpty;
  return slot_for(map, hash, is_key).position;
}

// Records `position` under the key unless an earlier entry holds it already.
template <typename IsKey>
void record(FirstPositions& map, std::uint64_t hash, std::uint32_t position, IsKey is_key) {
  Slot& slot = slot_for(map, hash, is_key);
  if (slot.position == kEmpty) slot = Slot{position, static_cast<std::uint32_t>(hash >> 32)};
}

// Positions are kept in 32 bits; a list that long would take far more memory
// than any run gets before it came to be indexed.
void check_indexable(std::size_t size) {
  if (size >= kEmpty) std::abort();
}

}  // namespace

SfvIndex index_sfv_list(const SfvList& list) {
  check_indexable(list.size());
  SfvIndex index;
  index.list = &list;
  reserve(index.exact, list.size());
  reserve(index.normalised, list.size());
  for (std::uint32_t i = 0; i < list.size(); ++i) {
    const std::string_view name = list[i].file_name;
    const NormalisedName key(name);
    const std::uint64_t hash = hash_of(key.text());
    record(index.exact, hash, i, [&](std::uint32_t p) { return list[p].file_name == name; });
    record(index.normalised, hash, i,
           [&](std::uint32_t p) { return normalises_to(list[p].file_name, key.text()); });
  }
  return index;
}

NameIndex index_name_list(const NameList& list) {
  check_indexable(list.size());
  NameIndex index;
  index.list = &list;
  // Only regular files are looked up; other entries get no keys.
  std::size_t files = 0;
  for (std::size_t i = 0; i < list.size(); ++i) files += list.kind(i) == EntryKind::regular;
  reserve(index.exact, files);
  reserve(index.normalised, files);
  // Few names hold ".OK.": their reduced keys are recorded once all are known,
  // in a table of their own, in list order as the others.
  std::vector<std::uint32_t> with_ok;
  for (std::uint32_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) != EntryKind::regular) continue;
    const std::string_view name = list.name(i);
    NormalisedName key(name);
    const std::uint64_t hash = hash_of(key.text());
    record(index.exact, hash, i, [&](std::uint32_t p) { return list.name(p) == name; });
    record(index.normalised, hash, i,
           [&](std::uint32_t p) { return normalises_to(list.name(p), key.text()); });
    if (key.reduce()) with_ok.push_back(i);
  }
  reserve(index.reduced, with_ok.size());
  for (std::uint32_t i : with_ok) {
    NormalisedName key(list.name(i));
    key.reduce();
    record(index.reduced, hash_of(key.text()), i,
           [&](std::uint32_t p) { return reduces_to(list.name(p), key.text()); });
  }
  return index;
}

std::optional<SfvEntry> find_sfv_entry(const SfvIndex& index, std::string_view name) {
  const SfvList& list = *index.list;
  NormalisedName key(name);
  const std::uint64_t hash = hash_of(key.text());
  std::uint32_t found =
      first_position(index.exact, hash, [&](std::uint32_t p) { return list[p].file_name == name; });
  if (found == kEmpty) {
    // An entry passes when its normalised name equals the looked-up name
    // normalised, or that name normalised and reduced.
    found = first_position(index.normalised, hash, [&](std::uint32_t p) {
      return normalises_to(list[p].file_name, key.text());
    });
    if (key.reduce()) {
      found = std::min(found, first_position(index.normalised, hash_of(key.text()),
                                             [&](std::uint32_t p) {
                                               return normalises_to(list[p].file_name, key.text());
                                             }));
    }
  }
  if (found == kEmpty) return std::nullopt;
  return list[found];
}

std::optional<std::size_t> find_listed_name(const NameIndex& index, std::string_view name) {
  const NameList& list = *index.list;
  const NormalisedName key(name);
  const std::uint64_t hash = hash_of(key.text());
  std::uint32_t found =
      first_position(index.exact, hash, [&](std::uint32_t p) { return list.name(p) == name; });
  if (found == kEmpty) {
    // An entry passes when its normalised name, or that name reduced, equals
    // the looked-up name normalised.
    found = std::min(first_position(index.normalised, hash,
                                    [&](std::uint32_t p) {
                                      return normalises_to(list.name(p), key.text());
                                    }),
                     first_position(index.reduced, hash, [&](std::uint32_t p) {
                       return reduces_to(list.name(p), key.text());
                     }));
  }
  if (found != kEmpty) return found;
  if (name == "*" && list.readable()) return kClosingStar;
  return std::nullopt;
}

std::optional<std::size_t> find_exact_name(const NameIndex& index, std::string_view name) {
  const NameList& list = *index.list;
  const NormalisedName key(name);
  const std::uint32_t found = first_position(index.exact, hash_of(key.text()), [&](std::uint32_t p) {
    return list.name(p) == name;
  });
  if (found == kEmpty) return std::nullopt;
  return found;
}

}  // namespace kuvo
