#include "fileset/wildcard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"

namespace kuvo {
namespace {

struct MatchCase {
  std::string pattern;
  std::string name;
  bool match;
  const char* reason;
};

void expect_matches(const std::vector<MatchCase>& cases) {
  for (const MatchCase& c : cases) {
    EXPECT_EQ(match_pattern(c.name, c.pattern), c.match)
        << "pattern '" << c.pattern << "' name '" << c.name << "': " << c.reason;
  }
}

TEST(WildcardTest, PatternTable) {
  expect_matches({
      {"*.nfo", "release.nfo", true, "star and literals"},
      {"*.nfo", "RELEASE.NFO", true, "letters compare folded"},
      {"*.nfo", ".nfo", true, "'*' may take nothing"},
      {"*.nfo", "release.nfo.bak", false, "the pattern ends where the name goes on"},
      {"*.nfo", "file.nfo ", false, "trailing space is part of the name"},
      {"*.nfo", "file-nfo", false, "names are not normalised"},
      {"", "", true, "empty matches empty"},
      {"", "a", false, "empty pattern needs an empty name"},
      {"*", "", true, "a final '*' takes whatever remains"},
      {"a**", "abc", true, "a run of '*' acts as one"},
      {"a*c", "abbbc", true, "star takes a run"},
      {"a*c", "abcd", false, "name goes on after the last literal"},
      {"*a*b*c", "xaybzc", true, "several stars"},
      {"*a*b*c", "xaybz", false, "last literal missing"},
      {"abc*", "abc", true, "final star takes nothing"},
      {"abc?", "abc", false, "'?' needs a character"},
      {"??", "x", false, "two '?' need two characters"},
      {"*.r[0-9][0-9]", "file.R01", true, "digit ranges, folded letter"},
      {"*.r[0-9][0-9]", "file.rar", false, "letters are not digits"},
      {"[abc]", "B", true, "members compare folded"},
      {"[^abc]", "d", true, "negated class"},
      {"[^abc]", "a", false, "negated class holds the member"},
      {"[!a]", "b", false, "'!' is a member, not a negation"},
      {"[!a]", "!", true, "'!' is a member"},
      {"[a-c]", "B", true, "range compares folded"},
      {"[^a-c]", "B", false, "negated folded range"},
      {"[A-z]", "q", true, "folded range A to Z"},
      {"[A-z]", "_", false, "folded range is 'A' to 'Z'"},
      {"[Z-a]", "m", false, "reversed range holds nothing"},
      {"[Z-a]", "z", true, "'Z' is a member of its own"},
      {"[a-c-e]", "d", true, "chained range 'c' to 'e'"},
      {"[a-c-e]", "f", false, "past the chained range"},
      {"[]a]", "a", false, "']' first ends an empty class"},
      {"[\\]]", "]", true, "escaped ']' is a member"},
      {"[^\\]]", "]", false, "negated escaped ']'"},
      {"[\\\\]", "\\", true, "escaped backslash is a member"},
      {"[a\\-z]", "-", true, "escaped '-' is a plain member"},
      {"[a\\-z]", "m", false, "so there is no range"},
      {"[a-\\z]", "m", true, "escaped upper end"},
      {"[a-]", "a", false, "']' became the upper end; class unterminated"},
      {"[a-]]", "]", true, "']' as upper end"},
      {"[a-]]", "b", true, "folded 'A' to ']'"},
      {"[a-]]", "^", false, "'^' folds above ']'"},
      {"[abc", "a", false, "unterminated class"},
      {"[^]", "a", false, "empty class"},
      {"\\*", "*", true, "escaped star is a literal"},
      {"\\*", "a", false, "escaped star matches only '*'"},
      {"\\a", "A", true, "escaped letters compare folded"},
      {"x[^a]", "x", false, "a class needs a character"},
      {"x[a]", "x", false, "a class needs a character"},
  });
}

TEST(WildcardTest, MalformedPatternsFailAtTheSpot) {
  expect_matches({
      {"a\\", "a", false, "final backslash"},
      {"a\\", "a\\", false, "final backslash matches no name"},
      {"\\", "", false, "lone backslash"},
      {"\\", "\\", false, "lone backslash"},
      {"*\\", "x\\", false, "star cannot rescue a final backslash"},
      {"[a\\", "a", false, "escape pending at the end of a class"},
      {"[a\\", "[a\\", false, "escape pending at the end of a class"},
      {"*[", "x[", false, "'[' at the end"},
      {"*[", "", false, "'[' at the end"},
      {"[]", "]", false, "empty class"},
      {"[]]", "]", false, "']' first ends an empty class"},
      {"[^]]", "x", false, "empty negated class"},
      {"[a-", "a", false, "pattern ends after '-'"},
      {"[a-\\", "a", false, "pattern ends after '-' and backslash"},
      {"b[", "a", false, "mismatch before the spot"},
      {"a*[bc", "abc", false, "star goes on trying, the class never closes"},
      {"[a]*[", "a", false, "malformed after a match"},
      {"\\a\\", "a", false, "escaped literal then final backslash"},
  });
}

// A "-" directly after "[" or "[^" has no member before it: its range holds
// exactly its upper end.
TEST(WildcardTest, LeadingDashHoldsOnlyItsUpperEnd) {
  expect_matches({
      {"[-a]", "a", true, "upper end held"},
      {"[-a]", "A", true, "upper end folded"},
      {"[-a]", "-", false, "the dash itself is no member"},
      {"[-a]", "0", false, "nothing below the upper end"},
      {"[-a]", "b", false, "nothing above the upper end"},
      {"[^-a]", "a", false, "negated"},
      {"[^-a]", "-", true, "negated: dash not held"},
      {"[-a-c]", "b", true, "chains from the upper end"},
      {"[-a-c]", "d", false, "chain ends at 'c'"},
      {"[-\\]]", "]", true, "escaped upper end"},
      {"[-]]", "]", true, "']' as upper end"},
      {"[-]]", "-", false, "']' as upper end only"},
      {"[-]", "-", false, "']' taken as upper end: unterminated"},
      {"[-", "-", false, "pattern ends after '-'"},
      {"[--]", "-", true, "upper end '-' held"},
  });
}

TEST(WildcardTest, BytesAboveAsciiHaveNoCase) {
  expect_matches({
      {"\xe9", "\xe9", true, "same high byte"},
      {"\xe9", "\xc9", false, "high bytes are not folded"},
      {"?", "\xff", true, "'?' takes any byte"},
      {"[\xe0-\xff]", "\xe9", true, "high range by unsigned value"},
      {"[\xe0-\xff]", "a", false, "low byte outside a high range"},
      {"[a-\xff]", "{", true, "folded 'A' to 0xFF holds punctuation above 'Z'"},
      {"[a-\xff]", "@", false, "'@' lies below 'A'"},
      {"*\x80", "x\x80", true, "high literal after star"},
  });
}

struct IgnoreCase {
  std::string list;
  std::string name;
  bool ignored;
  const char* reason;
};

TEST(WildcardTest, IgnoreList) {
  const std::string default_list = Settings{}.ignore_list;
  const std::vector<IgnoreCase> cases = {
      {default_list, "Release.NFO", true, "default list, folded"},
      {default_list, "foo.Sfv", true, "default list holds *.sfv"},
      {default_list, "foo.sfv.txt", true, "through *.txt"},
      {default_list, "foo.nfo.rar", false, "counts"},
      {default_list, "cover.JPG", true, "default list holds *.jpg"},
      {default_list, "", false, "empty name counts"},
      {"*.rar ", "a.RAR", true, "custom list"},
      {"*.rar ", "a.nfo", false, "custom list replaces the default"},
      {" ", "", false, "one space holds no pattern"},
      {" ", "a.nfo", false, "one space ignores nothing"},
      {"", "", false, "empty list"},
      {"   *.nfo   *.r[0-9][0-9]   ", "a.r01", true, "runs of spaces separate"},
      {"   *.nfo   *.r[0-9][0-9]   ", "", false, "runs of spaces yield no empty pattern"},
      {"a  b ", "", false, "inner run yields no empty pattern"},
      {"*.nfo\t*.txt ", "a.nfo", false, "a tab belongs to its pattern"},
      {"*.nfo\t*.txt ", "a.nfo\tb.txt", true, "tab matched as a literal"},
      {"\t ", "\t", true, "a pattern of one tab"},
      {"*.nfo", "a.nfo", true, "last pattern without trailing space"},
      {"x *", "anything", true, "a later pattern matches"},
      {"[ab ", "a", false, "a space ends a class's pattern"},
  };
  for (const IgnoreCase& c : cases) {
    EXPECT_EQ(is_ignored(c.list, c.name), c.ignored)
        << "list '" << c.list << "' name '" << c.name << "': " << c.reason;
  }
}

// The matcher as the rules read: each "*" run recurses over every later
// position, shortest first. The shipped matcher backtracks iteratively and
// must give the same answers.
unsigned char fold(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// Reads the class at pattern[p] == '['; sets `end` after its "]" and returns
// whether it matches `c`; false for a malformed class.
bool reference_class(std::string_view pattern, std::size_t p, unsigned char c, std::size_t& end) {
  std::size_t i = p + 1;
  bool negated = i < pattern.size() && pattern[i] == '^';
  if (negated) ++i;
  bool have_last = false, hit = false, escape = false;
  unsigned char last = 0;
  for (;;) {
    if (i == pattern.size()) return false;  // unterminated, escape pending or not
    unsigned char b = pattern[i++];
    if (escape) {
      escape = false;
    } else if (b == ']') {
      break;
    } else if (b == '\\') {
      escape = true;
      continue;
    } else if (b == '-') {
      if (i == pattern.size()) return false;
      unsigned char upper = pattern[i++];
      if (upper == '\\') {
        if (i == pattern.size()) return false;
        upper = pattern[i++];
      }
      unsigned char lower = have_last ? last : upper;
      if (fold(lower) <= fold(c) && fold(c) <= fold(upper)) hit = true;
      last = upper;
      have_last = true;
      continue;
    }
    if (fold(b) == fold(c)) hit = true;
    last = b;
    have_last = true;
  }
  if (!have_last) return false;
  end = i;
  return hit != negated;
}

bool reference_match(std::string_view name, std::string_view pattern) {
  if (pattern.empty()) return name.empty();
  std::size_t p = 0;
  std::size_t s = 0;
  while (p < pattern.size()) {
    if (pattern[p] == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      if (p == pattern.size()) return true;
      for (std::size_t k = s; k <= name.size(); ++k) {
        if (reference_match(name.substr(k), pattern.substr(p))) return true;
      }
      return false;
    }
    if (s == name.size()) return false;  // every other element needs a character
    const unsigned char c = name[s++];
    if (pattern[p] == '?') {
      ++p;
    } else if (pattern[p] == '[') {
      if (!reference_class(pattern, p, c, p)) return false;
    } else if (pattern[p] == '\\') {
      if (p + 1 == pattern.size() || fold(pattern[p + 1]) != fold(c)) return false;
      p += 2;
    } else {
      if (fold(pattern[p]) != fold(c)) return false;
      ++p;
    }
  }
  return s == name.size();
}

TEST(WildcardTest, AgreesWithRecursiveMatcher) {
  // Patterns are strings of elements, so that well-formed classes are common,
  // with stray bytes mixed in so that malformed ones are too.
  const std::string bytes = "**?[]^-\\aAzZ.\xe9\xff";
  const std::string class_bytes = "aAzZ-\\]^.\xe9\xff";
  const std::string name_bytes = "aAzZ.-]^\\[*?\xe9\xc9\xff";
  std::mt19937 random(20261207);
  auto pick = [&](const std::string& alphabet) { return alphabet[random() % alphabet.size()]; };
  auto make_pattern = [&] {
    std::string pattern;
    for (std::size_t n = random() % 7; n > 0; --n) {
      if (random() % 3 != 0) {
        pattern += pick(bytes);
        continue;
      }
      pattern += random() % 3 == 0 ? "[^" : "[";
      for (std::size_t m = 1 + random() % 4; m > 0; --m) pattern += pick(class_bytes);
      if (random() % 8 != 0) pattern += ']';
    }
    return pattern;
  };
  int matches = 0;
  int class_matches = 0;
  for (int i = 0; i < 150000; ++i) {
    const std::string pattern = make_pattern();
    std::string name(random() % 7, ' ');
    for (char& c : name) c = pick(name_bytes);
    const bool expected = reference_match(name, pattern);
    matches += expected;
    class_matches += expected && pattern.find('[') != std::string::npos;
    ASSERT_EQ(match_pattern(name, pattern), expected)
        << "pattern '" << pattern << "' name '" << name << "'";
  }
  // The pairs must exercise both answers, classes included, to mean anything.
  EXPECT_GT(matches, 3000);
  EXPECT_GT(class_matches, 600);
}

}  // namespace
}  // namespace kuvo
