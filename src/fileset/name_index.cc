#include "fileset/name_index.h"

#include <algorithm>
#include <array>
#include <bit>
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

// Names are normalised sixteen bytes at a time, as vector registers take them.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

// Normalises the `size` bytes at `bytes` in place, and as many more as it
// takes to reach a multiple of 16, which the buffer must hold.
void normalise_in_place(char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; i += 16) {
    Bytes16 v;
    std::memcpy(&v, bytes + i, 16);
    const auto lower_case = reinterpret_cast<Bytes16>((v >= 'a') & (v <= 'z'));
    const auto separator = reinterpret_cast<Bytes16>((v == ' ') | (v == '-') | (v == '_'));
    v = ((v - (lower_case & 0x20)) & ~separator) | (separator & '.');
    std::memcpy(bytes + i, &v, 16);
  }
}

// The high bit of each byte of `word` that equals `c`, every other bit clear.
constexpr std::uint64_t bytes_equal_to(std::uint64_t word, unsigned char c) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  const std::uint64_t x = word ^ (kOnes * c);
  return ~(((x & ~kHighBits) + ~kHighBits) | x) & kHighBits;
}

// The position within its word of the first byte whose high bit `bits` holds.
std::size_t first_byte(std::uint64_t bits) {
  if constexpr (std::endian::native == std::endian::little) return std::countr_zero(bits) / 8;
  return std::countl_zero(bits) / 8;
}

// `bits` without the high bit of its first byte.
std::uint64_t without_first(std::uint64_t bits) {
  if constexpr (std::endian::native == std::endian::little) return bits & (bits - 1);
  return bits & ~(std::uint64_t{0x80} << (56 - 8 * first_byte(bits)));
}

// A name normalised into a buffer of its own, on the stack unless it is long.
// Its text views that buffer, so it is neither copied nor moved.
class NormalisedName {
 public:
  explicit NormalisedName(std::string_view name) : size_(name.size()) {
    if (size_ > kLocal) long_.resize(size_ + kPadding);
    bytes_ = size_ > kLocal ? long_.data() : local_;
    std::memcpy(bytes_, name.data(), size_);
    std::memset(bytes_ + size_, 0, kPadding);
    normalise_in_place(bytes_, size_);
  }
  NormalisedName(const NormalisedName&) = delete;
  NormalisedName& operator=(const NormalisedName&) = delete;

  std::string_view text() const { return {bytes_, size_}; }

  bool has_ok_segment() const { return find_ok_segment() != kNone; }

  // Reduces the first ".OK." to "." (its leading dot stays); false, changing
  // nothing, when there is none.
  bool reduce() {
    const std::size_t at = find_ok_segment();
    if (at == kNone) return false;
    std::memmove(bytes_ + at + 1, bytes_ + at + 4, size_ - at - 4);
    size_ -= 3;
    return true;
  }

 private:
  static constexpr std::size_t kLocal = 256;
  static constexpr std::size_t kPadding = 16;  // zeros, normalised along with the name
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Where the first ".OK." begins, or kNone. Only a "K" can end the "OK", so
  // the text is searched for that, eight bytes at a time.
  std::size_t find_ok_segment() const {
    for (std::size_t i = 0; i < size_; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes_ + i, 8);
      for (std::uint64_t ks = bytes_equal_to(word, 'K'); ks != 0; ks = without_first(ks)) {
        const std::size_t k = i + first_byte(ks);
        if (k >= 2 && k + 1 < size_ && bytes_[k - 2] == '.' && bytes_[k - 1] == 'O' &&
            bytes_[k + 1] == '.') {
          return k - 2;
        }
      }
    }
    return kNone;
  }

  char local_[kLocal + kPadding];
  std::string long_;
  char* bytes_;
  std::size_t size_;
};

// Names come from uploaders, so the hash is keyed afresh for every run: no SFV
// can be made whose names crowd into one stretch of the table.
std::uint64_t hash_of(std::string_view text) { return table_hash(run_hash_key(), text); }

// True when `name` normalises to `normalised`.
bool normalises_to(std::string_view name, std::string_view normalised) {
  if (name.size() != normalised.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (kNormalisedByte[static_cast<unsigned char>(name[i])] != normalised[i]) return false;
  }
  return true;
}

// True when `a` and `b` normalise alike.
bool same_normalised(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (kNormalisedByte[static_cast<unsigned char>(a[i])] !=
        kNormalisedByte[static_cast<unsigned char>(b[i])]) {
      return false;
    }
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

// Records `position` under the key unless an earlier entry holds it already;
// returns the key's first position.
template <typename IsKey>
std::uint32_t record(FirstPositions& map, std::uint64_t hash, std::uint32_t position,
                     IsKey is_key) {
  Slot& slot = slot_for(map, hash, is_key);
  if (slot.position == kEmpty) slot = Slot{position, static_cast<std::uint32_t>(hash >> 32)};
  return slot.position;
}

// Indexes the `count` names that `name_at` gives by position, leaving out
// those `indexed` turns away; `with_reduced` adds the reduced keys. Recording
// in list order keeps each key's first position.
template <typename NameAt, typename Indexed>
void index_names(std::size_t count, NameAt name_at, Indexed indexed, bool with_reduced,
                 NameKeys& keys) {
  // Positions are kept in 32 bits; a list that long would take far more memory
  // than any run gets before it came to be indexed.
  if (count >= kEmpty) std::abort();
  std::size_t names = 0;
  for (std::uint32_t i = 0; i < count; ++i) names += indexed(i);
  reserve(keys.normalised, names);
  // Entries spelled unlike the first of their normalised name, and names
  // holding ".OK.", are few: they are recorded once all are known.
  std::vector<std::uint32_t> other_spellings;
  std::vector<std::uint32_t> with_ok;
  // Each name's hash is worked out a few names ahead and its slot fetched
  // meanwhile: once a large release's table outgrows the caches, waiting for
  // the slot costs more than all the rest.
  constexpr std::size_t kAhead = 8;
  struct Ahead {
    std::uint64_t hash = 0;
    bool has_ok = false;
  };
  std::array<Ahead, kAhead> ahead;
  auto look_ahead = [&](std::size_t i) {
    if (i >= count || !indexed(static_cast<std::uint32_t>(i))) return;
    const NormalisedName key(name_at(static_cast<std::uint32_t>(i)));
    Ahead& next = ahead[i % kAhead];
    next.hash = hash_of(key.text());
    next.has_ok = key.has_ok_segment();
    __builtin_prefetch(&keys.normalised.slots[home(keys.normalised, next.hash)]);
  };
  for (std::size_t i = 0; i < kAhead; ++i) look_ahead(i);
  for (std::uint32_t i = 0; i < count; ++i) {
    const Ahead current = ahead[i % kAhead];
    look_ahead(i + kAhead);
    if (!indexed(i)) continue;
    const std::string_view name = name_at(i);
    const std::uint32_t first = record(keys.normalised, current.hash, i, [&](std::uint32_t p) {
      return same_normalised(name_at(p), name);
    });
    if (first != i && name_at(first) != name) other_spellings.push_back(i);
    if (with_reduced && current.has_ok) with_ok.push_back(i);
  }
  // Spellings hash as they are: the spellings of one normalised name, which
  // an uploader can make by the thousand, must not share one hash.
  reserve(keys.other_spellings, other_spellings.size());
  for (std::uint32_t i : other_spellings) {
    record(keys.other_spellings, hash_of(name_at(i)), i,
           [&](std::uint32_t p) { return name_at(p) == name_at(i); });
  }
  reserve(keys.reduced, with_ok.size());
  for (std::uint32_t i : with_ok) {
    NormalisedName key(name_at(i));
    key.reduce();
    record(keys.reduced, hash_of(key.text()), i,
           [&](std::uint32_t p) { return reduces_to(name_at(p), key.text()); });
  }
}

// Where a looked-up name stands in an index: the first entry spelled exactly
// as it is, and the first whose normalised name equals its own.
struct Found {
  std::uint32_t exact = kEmpty;
  std::uint32_t normalised = kEmpty;
};

// `key` is `name` normalised; `hash` the hash of that.
template <typename NameAt>
Found find_name(const NameKeys& keys, NameAt name_at, std::string_view name,
                const NormalisedName& key, std::uint64_t hash) {
  Found found;
  // Mostly the entry is spelled as the name is, which settles it at once.
  found.normalised = first_position(keys.normalised, hash, [&](std::uint32_t p) {
    const std::string_view listed = name_at(p);
    return listed == name || normalises_to(listed, key.text());
  });
  // Every spelling of a normalised name has that key, so the first entry
  // with the key is the first spelled as it is, or the first spelled so is
  // among the other spellings.
  if (found.normalised == kEmpty) return found;
  if (name_at(found.normalised) == name) {
    found.exact = found.normalised;
  } else if (!keys.other_spellings.slots.empty()) {
    found.exact = first_position(keys.other_spellings, hash_of(name),
                                 [&](std::uint32_t p) { return name_at(p) == name; });
  }
  return found;
}

}  // namespace

SfvIndex index_sfv_list(const SfvList& list) {
  SfvIndex index;
  index.list = &list;
  index_names(
      list.size(), [&](std::uint32_t p) { return list[p].file_name; },
      [](std::uint32_t) { return true; }, false, index.keys);
  return index;
}

NameIndex index_name_list(const NameList& list) {
  NameIndex index;
  index.list = &list;
  // Only regular files are looked up; other entries get no keys.
  index_names(
      list.size(), [&](std::uint32_t p) { return list.name(p); },
      [&](std::uint32_t p) { return list.kind(p) == EntryKind::regular; }, true, index.keys);
  return index;
}

std::optional<SfvEntry> find_sfv_entry(const SfvIndex& index, std::string_view name) {
  const SfvList& list = *index.list;
  auto name_at = [&](std::uint32_t p) { return list[p].file_name; };
  NormalisedName key(name);
  const Found found = find_name(index.keys, name_at, name, key, hash_of(key.text()));
  std::uint32_t position = found.exact;
  if (position == kEmpty) {
    // An entry passes when its normalised name equals the looked-up name
    // normalised, or that name normalised and reduced.
    position = found.normalised;
    if (key.reduce()) {
      position = std::min(position, first_position(index.keys.normalised, hash_of(key.text()),
                                                   [&](std::uint32_t p) {
                                                     return normalises_to(name_at(p), key.text());
                                                   }));
    }
  }
  if (position == kEmpty) return std::nullopt;
  return list[position];
}

std::optional<std::size_t> find_listed_name(const NameIndex& index, std::string_view name) {
  const NameList& list = *index.list;
  auto name_at = [&](std::uint32_t p) { return list.name(p); };
  const NormalisedName key(name);
  const std::uint64_t hash = hash_of(key.text());
  const Found found = find_name(index.keys, name_at, name, key, hash);
  std::uint32_t position = found.exact;
  if (position == kEmpty) {
    // An entry passes when its normalised name, or that name reduced, equals
    // the looked-up name normalised.
    position =
        std::min(found.normalised, first_position(index.keys.reduced, hash, [&](std::uint32_t p) {
                   return reduces_to(name_at(p), key.text());
                 }));
  }
  if (position != kEmpty) return position;
  if (name == "*" && list.readable()) return kClosingStar;
  return std::nullopt;
}

std::optional<std::size_t> find_exact_name(const NameIndex& index, std::string_view name) {
  const NameList& list = *index.list;
  const NormalisedName key(name);
  const Found found = find_name(
      index.keys, [&](std::uint32_t p) { return list.name(p); }, name, key, hash_of(key.text()));
  if (found.exact == kEmpty) return std::nullopt;
  return found.exact;
}

}  // namespace kuvo
