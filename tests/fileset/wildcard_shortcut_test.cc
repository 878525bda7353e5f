#include <gtest/gtest.h>

#include <random>
#include <string>

#include "fileset/wildcard.h"

namespace kuvo {
namespace {

// The shortcut on the pattern's last byte must never change an answer: random
// patterns from the matcher's own syntax, escapes, classes and malformed pieces
// included, against names drawn from the same bytes.
TEST(WildcardShortcutTest, GivesTheWalksAnswer) {
  static const char kPatternBytes[] = "*?[]\\^-aAoO.";
  static const char kNameBytes[] = "aAoO.-]\\";
  std::mt19937 random(4);
  auto pick = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
  };
  int matches = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string pattern;
    for (std::size_t n = pick(6); n > 0; --n)
      pattern += kPatternBytes[pick(sizeof kPatternBytes - 1)];
    std::string name;
    for (std::size_t n = pick(5); n > 0; --n) name += kNameBytes[pick(sizeof kNameBytes - 1)];
    const bool expected = match_pattern_walk(name, pattern);
    matches += expected;
    ASSERT_EQ(match_pattern(name, pattern), expected) << "'" << name << "' '" << pattern << "'";
  }
  // The inputs must exercise matches too, not only the easy misses.
  EXPECT_GT(matches, 2000);
}

}  // namespace
}  // namespace kuvo
