#include "fileset/wildcard.h"

#include <algorithm>
#include <array>
#include <string>

#include "base/case_fold.h"

namespace kuvo {
namespace {

unsigned char byte_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]);
}

// Tests the class whose "[" stands at `p` against the character `c`. On a match
// `p` moves past the closing "]". An unterminated or empty class, or one that
// ends in a pending escape, never matches.
//
// A "-" that opens a class (as in "[-a]") has no member before it: kuvo takes
// its upper end as its lower end too, so such a range holds exactly its upper
// end, and "[-a]" holds "a" and "A" but not "-". No byte the administrator did
// not write is ever added to a class.
bool match_class(std::string_view pattern, std::size_t& p, unsigned char c) {
  const unsigned char folded = fold_byte(c);
  std::size_t i = p + 1;
  bool negated = false;
  if (i < pattern.size() && pattern[i] == '^') {
    negated = true;
    ++i;
  }
  bool has_member = false;
  unsigned char last = 0;
  bool hit = false;
  bool escape = false;
  bool closed = false;
  while (i < pattern.size()) {
    unsigned char b = byte_at(pattern, i++);
    if (escape) {
      escape = false;
    } else if (b == ']') {
      closed = true;
      break;
    } else if (b == '\\') {
      escape = true;
      continue;
    } else if (b == '-') {
      if (i == pattern.size()) return false;
      unsigned char upper = byte_at(pattern, i++);
      if (upper == '\\') {
        if (i == pattern.size()) return false;
        upper = byte_at(pattern, i++);
      }
      const unsigned char lower = has_member ? last : upper;
      if (fold_byte(lower) <= folded && folded <= fold_byte(upper)) hit = true;
      last = upper;
      has_member = true;
      continue;
    }
    if (fold_byte(b) == folded) hit = true;
    last = b;
    has_member = true;
  }
  if (!has_member || escape || !closed) return false;
  p = i;
  return hit != negated;
}

// Tests the one-character element at `p` (a literal, an escaped byte, "?" or a
// class) against `c`; on a match `p` moves past the element.
bool match_element(std::string_view pattern, std::size_t& p, unsigned char c) {
  switch (pattern[p]) {
    case '?':
      ++p;
      return true;
    case '\\':
      if (p + 1 == pattern.size()) return false;
      p += 2;
      return fold_byte(byte_at(pattern, p - 1)) == fold_byte(c);
    case '[':
      return match_class(pattern, p, c);
    default:
      return fold_byte(byte_at(pattern, p++)) == fold_byte(c);
  }
}

// True when the pattern's last byte alone shows that `name` cannot match. A last
// byte that is not one of "*?[]\\" ends a literal, ends an escape of itself, or
// stands in an unterminated class that never matches; in the first two cases
// that element takes the name's last character, since every element but "*"
// takes exactly one. Most names thus fail ignore patterns like "*.nfo" at once.
bool last_byte_rules_out(std::string_view name, std::string_view pattern) {
  if (pattern.empty()) return false;
  const unsigned char last = byte_at(pattern, pattern.size() - 1);
  if (last == '*' || last == '?' || last == '[' || last == ']' || last == '\\') return false;
  return name.empty() || fold_byte(byte_at(name, name.size() - 1)) != fold_byte(last);
}

}  // namespace

// Every element other than "*" consumes exactly one character, so on a
// mismatch it is enough to let the most recent "*" take one character more:
// the answer is that of trying every split, in time bounded by the product of
// the two lengths rather than growing with each further "*".
bool match_pattern(std::string_view name, std::string_view pattern) {
  if (last_byte_rules_out(name, pattern)) return false;
  std::size_t p = 0;
  std::size_t s = 0;
  std::size_t star_p = std::string_view::npos;
  std::size_t star_s = 0;
  for (;;) {
    if (p < pattern.size()) {
      if (pattern[p] == '*') {
        while (p < pattern.size() && pattern[p] == '*') ++p;
        if (p == pattern.size()) return true;
        star_p = p;
        star_s = s;
        continue;
      }
      std::size_t next = p;
      if (s < name.size() && match_element(pattern, next, byte_at(name, s))) {
        p = next;
        ++s;
        continue;
      }
    } else if (s == name.size()) {
      return true;
    }
    if (star_p == std::string_view::npos || star_s >= name.size()) return false;
    s = ++star_s;
    p = star_p;
  }
}

namespace {

// Which names an ignore list may match at all, told by their last byte: a
// pattern whose last byte is plain takes only names ending in that byte
// (either case), any other pattern any name.
struct LastBytes {
  std::string list;  // the ignore list this was worked out for
  std::array<bool, 256> may_end{};
  bool may_be_empty = false;
};

LastBytes work_out_last_bytes(std::string_view ignore_list) {
  LastBytes last_bytes;
  last_bytes.list = ignore_list;
  std::size_t start = 0;
  while (start < ignore_list.size()) {
    std::size_t end = std::min(ignore_list.find(' ', start), ignore_list.size());
    if (end > start) {
      const std::string_view pattern = ignore_list.substr(start, end - start);
      for (int c = 0; c < 256; ++c) {
        const char last = static_cast<char>(c);
        if (!last_byte_rules_out(std::string_view(&last, 1), pattern)) last_bytes.may_end[c] = true;
      }
      if (!last_byte_rules_out({}, pattern)) last_bytes.may_be_empty = true;
    }
    start = end + 1;
  }
  return last_bytes;
}

}  // namespace

bool is_ignored(std::string_view ignore_list, std::string_view name) {
  // Every SFV entry meets the same list, so what it allows is worked out once
  // and kept for the next call; most names then fail at once.
  thread_local LastBytes last_bytes;
  if (last_bytes.list != ignore_list) last_bytes = work_out_last_bytes(ignore_list);
  if (name.empty() ? !last_bytes.may_be_empty
                   : !last_bytes.may_end[static_cast<unsigned char>(name.back())]) {
    return false;
  }
  std::string_view list = ignore_list;
  while (!list.empty()) {
    std::size_t space = list.find(' ');
    std::string_view pattern = list.substr(0, space);
    if (!pattern.empty() && match_pattern(name, pattern)) return true;
    if (space == std::string_view::npos) break;
    list.remove_prefix(space + 1);
  }
  return false;
}

}  // namespace kuvo
