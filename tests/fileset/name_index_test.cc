#include "fileset/name_index.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fileset/name_lookup.h"
#include "fileset/reference_lookup.h"

namespace kuvo {
namespace {

// Names from a handful of pieces, so that different spellings of one name, and
// ".OK." segments in every disguise, turn up all the time.
class NameMaker {
 public:
  explicit NameMaker(unsigned seed) : random_(seed) {}

  std::string fresh() {
    static const char* const kPieces[] = {"a",  "A",  "b",  "B", " ", "-", "_",    ".",   "OK",
                                          "ok", "Ok", "oK", "o", "K", "*", ".ok.", "\xE9"};
    std::string name;
    for (int n = pick(6); n > 0; --n) name += kPieces[pick(std::size(kPieces))];
    return name;
  }

  // Another spelling of `name`: letters in other cases, separators swapped, or
  // an "ok" segment put in or taken out.
  std::string respell(std::string name) {
    static const char kSeparators[] = {' ', '-', '_', '.'};
    for (char& c : name) {
      if (pick(3) != 0) continue;
      if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
      } else if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      } else if (c == ' ' || c == '-' || c == '_' || c == '.') {
        c = kSeparators[pick(4)];
      }
    }
    if (pick(3) == 0) {
      std::size_t dot = name.find_first_of(" -_.");
      if (dot != std::string::npos) name.insert(dot + 1, pick(2) ? "ok." : "OK-");
    } else if (pick(3) == 0) {
      std::size_t ok = reference::normalise(name).find(".OK.");
      if (ok != std::string::npos) name.erase(ok + 1, 3);
    }
    return name;
  }

  // A name to look up in a list holding `names`: mostly one of them or another
  // spelling of one, sometimes something new.
  std::string probe(const std::vector<std::string>& names) {
    if (names.empty() || pick(5) == 0) return fresh();
    const std::string& base = names[pick(names.size())];
    return pick(3) == 0 ? base : respell(base);
  }

  std::vector<std::string> names() {
    std::vector<std::string> names;
    for (int n = pick(10); n > 0; --n)
      names.push_back(names.empty() || pick(3) ? fresh() : probe(names));
    return names;
  }

  std::size_t pick(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
  }

 private:
  std::mt19937 random_;
};

// Where a listing lookup landed, with the closing "*" at size() as the
// reference walk has it.
std::optional<std::size_t> listed_at(const NameList& list, std::optional<std::size_t> found) {
  if (found && *found == kClosingStar) return list.size();
  return found;
}

TEST(NameIndexTest, SfvLookupsGiveTheWalksEntry) {
  NameMaker maker(6);
  for (int round = 0; round < 6000; ++round) {
    const std::vector<std::string> names = maker.names();
    const SfvList list = reference::sfv_list(names);
    const SfvIndex index = index_sfv_list(list);
    for (int probe = 0; probe < 6; ++probe) {
      const std::string name = maker.probe(names);
      const std::optional<std::size_t> expected = reference::find_sfv_entry(list, name);
      ASSERT_EQ(reference::position_in(list, find_sfv_entry(index, name)), expected)
          << "name '" << name << "' round " << round;
      ASSERT_EQ(reference::position_in(list, find_sfv_entry(list, name)), expected)
          << "name '" << name << "' round " << round;
    }
  }
}

TEST(NameIndexTest, ListedNameLookupsGiveTheWalksEntry) {
  NameMaker maker(7);
  for (int round = 0; round < 6000; ++round) {
    const std::vector<std::string> names = maker.names();
    // Directories hold each name once, and other entries that no lookup sees;
    // listings that were not read keep the closing "*" honest.
    NameList list;
    for (const std::string& name : names) {
      bool seen = false;
      for (std::size_t i = 0; i < list.size(); ++i) seen = seen || list.name(i) == name;
      if (!seen) list.add(name, maker.pick(5) == 0 ? EntryKind::other : EntryKind::regular);
    }
    if (maker.pick(4) != 0) list.mark_readable();
    const NameIndex index = index_name_list(list);
    for (int probe = 0; probe < 6; ++probe) {
      const std::string name = maker.probe(names);
      const std::optional<std::size_t> expected = reference::find_listed_name(list, name);
      ASSERT_EQ(listed_at(list, find_listed_name(index, name)), expected)
          << "name '" << name << "' round " << round;
      ASSERT_EQ(listed_at(list, find_listed_name(list, name)), expected)
          << "name '" << name << "' round " << round;
    }
  }
}

// Positions in the list that a lookup must return; -1 for none. A listing
// closes with "*" at the position after its last name.
struct Case {
  std::vector<std::string> list;
  std::string name;
  int sfv_position;
  int listed_position;
  const char* why;
};

TEST(NameIndexTest, TieBreaks) {
  const Case cases[] = {
      {{"A.RAR", "a.rar"}, "a.rar", 1, 1, "an exact match anywhere beats a normalised one"},
      {{"a.rar", "A.OK.RAR"}, "a.ok.rar", 0, 1, "the reduced test on the head comes first"},
      {{"A.OK.RAR", "a.rar"}, "a_rar", 1, 0, "the first entry passing either test wins"},
      {{"x", "a_OK_rar", "A.RAR"}, "a.rar", 2, 1, "an SFV-side .OK. is never reduced"},
      {{"a.ok.ok.rar"}, "a.rar", -1, -1, "only the first .OK. is reduced"},
      {{"a..rar"}, "a-ok-.rar", 0, -1, "separators around OK may be any"},
      {{"track_01.mp3"}, "Track 01.MP3", 0, 0, "case and separators"},
      {{"a.rar"}, "*", -1, 1, "the listing's closing * matches only *"},
      {{}, "a", -1, -1, "an empty list"},
      {{"", "x"}, "", 0, 0, "an empty name is a name"},
  };
  for (const Case& c : cases) {
    const SfvList sfv = reference::sfv_list(c.list);
    const NameList names = reference::name_list(c.list);
    const std::optional<std::size_t> sfv_found =
        reference::position_in(sfv, find_sfv_entry(index_sfv_list(sfv), c.name));
    const std::optional<std::size_t> listed_found =
        listed_at(names, find_listed_name(index_name_list(names), c.name));
    EXPECT_EQ(sfv_found ? static_cast<int>(*sfv_found) : -1, c.sfv_position) << c.why;
    EXPECT_EQ(listed_found ? static_cast<int>(*listed_found) : -1, c.listed_position) << c.why;
  }
}

TEST(NameIndexTest, OtherEntriesAndExactNames) {
  NameList list;
  list.add("a.rar-missing", EntryKind::other);  // a directory named like a marker
  list.add("b.rar-missing", EntryKind::regular);
  list.mark_readable();
  const NameIndex index = index_name_list(list);
  EXPECT_EQ(find_listed_name(index, "a.rar-missing"), std::nullopt) << "only files are found";
  EXPECT_EQ(find_exact_name(index, "a.rar-missing"), std::nullopt);
  EXPECT_EQ(find_exact_name(index, "b.rar-missing"), 1u);
  EXPECT_EQ(find_exact_name(index, "B.RAR-MISSING"), std::nullopt) << "exact means exact";
}

// Seconds taken to index `names` as an SFV list and as a listing, and to look
// every 97th of them up in both, checking that each is found at its position.
double index_and_look_up(const std::vector<std::string>& names) {
  const auto start = std::chrono::steady_clock::now();
  const SfvList sfv = reference::sfv_list(names);
  const NameList listing = reference::name_list(names);
  const SfvIndex sfv_index = index_sfv_list(sfv);
  const NameIndex listing_index = index_name_list(listing);
  for (std::size_t i = 0; i < names.size(); i += 97) {
    EXPECT_EQ(reference::position_in(sfv, find_sfv_entry(sfv_index, names[i])), i);
    EXPECT_EQ(find_listed_name(listing_index, names[i]), i);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// An uploader can spell one name in thousands of ways (case, separators):
// each spelling must still be found at its own position, and indexing them
// must cost about what as many different names cost, not time that grows with
// their square, as it would if all spellings shared one hash.
TEST(NameIndexTest, ThousandsOfSpellingsOfOneName) {
  std::vector<std::string> spellings;
  std::vector<std::string> different;
  for (unsigned bits = 0; bits < (1u << 15); ++bits) {
    std::string name = "abcdefghijklmno.rar";
    for (unsigned i = 0; i < 15; ++i) {
      if (bits & (1u << i)) name[i] = static_cast<char>(name[i] - 'a' + 'A');
    }
    spellings.push_back(name);
    char other[32];
    std::snprintf(other, sizeof other, "f%014u.rar", bits);
    different.push_back(other);
  }
  const double different_seconds = index_and_look_up(different);
  const double spellings_seconds = index_and_look_up(spellings);
  // A shared hash makes this about a hundred times slower.
  EXPECT_LT(spellings_seconds, 20 * different_seconds + 0.05);

  const SfvList sfv = reference::sfv_list(spellings);
  const NameList listing = reference::name_list(spellings);
  EXPECT_EQ(reference::position_in(sfv, find_sfv_entry(index_sfv_list(sfv), "ABCDEFGHIJKLMNO_RAR")),
            0u);
  EXPECT_EQ(find_listed_name(index_name_list(listing), "abcdefghijklmno rar"), 0u);
}

}  // namespace
}  // namespace kuvo
