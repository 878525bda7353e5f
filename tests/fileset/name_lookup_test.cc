#include "fileset/name_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileset/reference_lookup.h"

namespace kuvo {
namespace {

TEST(NameLookupTest, Normalisation) {
  struct Case {
    std::string name;
    std::string normalised;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"My_Song - Live.mp3", "MY.SONG...LIVE.MP3", "separators become dots, nothing collapses"},
      {"a\xe9z", "A\xe9Z", "high bytes unchanged, letters around them upper-cased"},
      {"\xe0\xff\x80", "\xe0\xff\x80", "no case above 0x7F"},
      {"A..B", "A..B", "dots stay as they are"},
      {"a\tb", "A\tB", "a tab is no separator"},
      {"@[\\]^`{|}~", "@[\\]^`{|}~", "punctuation next to the letters unchanged"},
      {"*", "*", "the list's extra entry"},
      {"", "", "empty name"},
      {" -_", "...", "only separators"},
  };
  for (const Case& c : cases) EXPECT_EQ(normalize_name(c.name), c.normalised) << c.reason;
}

struct LookupCase {
  std::vector<std::string> list;  // in list order, head first
  std::string name;
  int expected;  // index into the list, or -1 for none
  const char* reason;
};

int index_of(const SfvList& list, const std::optional<SfvEntry>& found) {
  const std::optional<std::size_t> position = reference::position_in(list, found);
  return position ? static_cast<int>(*position) : -1;
}

// A trailing "*" in a case's list stands for the "*" that closes a listing
// that was read; a list without it was not read.
NameList listing_of(std::vector<std::string> names) {
  const bool readable = !names.empty() && names.back() == "*";
  if (readable) names.pop_back();
  return reference::name_list(names, readable);
}

int index_of(const NameList& list, std::optional<std::size_t> found) {
  if (!found) return -1;
  return static_cast<int>(*found == kClosingStar ? list.size() : *found);
}

// The directory-side name is looked up in the SFV's list.
TEST(NameLookupTest, FindSfvEntry) {
  const std::vector<LookupCase> cases = {
      {{"track_01.mp3"}, "Track 01.MP3", 0, "space against underscore, case"},
      {{"track_01.mp3"}, "track-01.mp3", 0, "hyphen against underscore"},
      {{"track_01.mp3"}, "TRACK.01.MP3", 0, "dot against underscore"},
      {{"A.RAR", "a.rar"},
       "a.rar",
       1,
       "the exact pass wins over a normalised match nearer the head"},
      {{"a_rar", "A.RAR", "a.rar"}, "A-RAR", 0, "without exact match the first normalised one"},
      {{"a..rar"}, "a-ok-.rar", 0, "'A.OK..RAR' reduces to 'A..RAR'"},
      {{"a.rar"}, "a-ok-.rar", -1, "reduction keeps the other dot"},
      {{"a.rar", "A.OK.RAR"}, "a.ok.rar", 0, "head passes the .OK. test before the next entry"},
      {{"song.mp3"}, "song.ok.mp3", 0, "the directory side carries the OK"},
      {{"song.ok.mp3"}, "song.mp3", -1, "the SFV side is never reduced"},
      {{"song.mp3"}, "Song_oK MP3", 0, "any separators around OK"},
      {{"a.b"}, "a.ok.ok.b", -1, "only the first .OK. is reduced"},
      {{"a.ok.b"}, "a.ok.ok.b", 0, "first .OK. reduced"},
      {{".rar"}, ".ok.rar", 0, ".OK. at the start"},
      {{"a.ay.rar"}, "a.okay.rar", -1, "OK must stand between separators"},
      {{"a..b"}, "a.b", -1, "nothing collapses"},
      {{"\xe9t\xe9.rar"}, "\xc9T\xc9.RAR", -1, "high bytes have no case"},
      {{"\xe9t\xe9.rar"}, "\xe9T\xe9.RAR", 0, "letters around high bytes fold"},
      {{"x", ""}, "", 1, "an empty SFV name is found exactly"},
      {{"a.rar", "a.rar"}, "a.rar", 0, "duplicates: the head (later line) wins"},
      {{}, "a.rar", -1, "empty list"},
  };
  for (const LookupCase& c : cases) {
    const SfvList list = reference::sfv_list(c.list);
    EXPECT_EQ(index_of(list, find_sfv_entry(list, c.name)), c.expected) << c.reason;
  }
}

// The SFV-side name is looked up in the directory's list.
TEST(NameLookupTest, FindListedName) {
  const std::vector<LookupCase> cases = {
      {{"a_OK_rar", "*"}, "a.rar", 0, "the directory entry carries the OK"},
      {{"a.rar", "*"}, "a.ok.rar", -1, "the SFV side is never reduced"},
      {{"a.ok.ok.rar", "*"}, "a.rar", -1, "only the first .OK. is reduced"},
      {{"a.ok.ok.rar", "*"}, "a.ok.rar", 0, "first .OK. reduced"},
      {{"song.ok.mp3", "*"}, "song.mp3", 0, "OK file matches plain SFV name"},
      {{"song.mp3", "*"}, "song.ok.mp3", -1, "plain file does not match OK SFV name"},
      {{"A.RAR", "a.rar", "*"}, "a.rar", 1, "the exact pass wins"},
      {{"a.ok.rar", "A.RAR", "*"}, "a.rar", 0, "head passes the .OK. test first"},
      {{"A.RAR-MISSING", "*"}, "a.rar-missing", 0, "marker found in any case"},
      {{"x.rar", "*"}, "*", 1, "'*' finds the extra entry"},
      {{"*", "*"}, "*", 0, "a file named '*' comes first"},
      {{"x.rar", "*"}, ".", -1, "'*' is no wildcard here"},
      {{"*"}, "a.rar", -1, "'*' matches no other name"},
      {{}, "*", -1, "empty list"},
  };
  for (const LookupCase& c : cases) {
    const NameList list = listing_of(c.list);
    EXPECT_EQ(index_of(list, find_listed_name(list, c.name)), c.expected) << c.reason;
  }
}

}  // namespace
}  // namespace kuvo
