// Fuzzes the ignore-list matcher with (pattern, name) pairs: the input is the
// pattern, a NUL byte, then the name. match_pattern must agree with a plain
// recursive matcher that tries every split of every "*" run, and is_ignored
// with trying each space-separated pattern in turn.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fileset/wildcard.h"

namespace {

// The recursive matcher takes time that grows with the name's length raised
// to the number of "*" runs; beyond these it is not asked.
constexpr std::size_t kMaxReferenceName = 64;
constexpr int kMaxReferenceStarRuns = 3;

unsigned char fold(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// Reads the class at `p` ("[" ...) against `c`; on a match moves `p` past "]".
bool reference_class(const unsigned char*& p, unsigned char c) {
  const unsigned char* q = p + 1;
  bool negated = false;
  if (*q == '^') {
    negated = true;
    ++q;
  }
  bool any_member = false, held = false, escape = false, closed = false;
  unsigned char last = 0;
  while (*q != 0) {
    unsigned char b = *q++;
    if (!escape && b == ']') {
      closed = true;
      break;
    }
    if (!escape && b == '\\') {
      escape = true;
      continue;
    }
    if (!escape && b == '-') {
      if (*q == 0) return false;
      unsigned char upper = *q++;
      if (upper == '\\') {
        if (*q == 0) return false;
        upper = *q++;
      }
      // A "-" that opens the class has no lower end of its own: kuvo lets the
      // range hold its upper end only.
      unsigned char lower = any_member ? last : upper;
      if (fold(lower) <= fold(c) && fold(c) <= fold(upper)) held = true;
      last = upper;
      any_member = true;
      continue;
    }
    escape = false;
    if (fold(b) == fold(c)) held = true;
    last = b;
    any_member = true;
  }
  if (!any_member || escape || !closed) return false;
  p = q;
  return held != negated;
}

bool reference_match(const unsigned char* name, const unsigned char* p) {
  while (*p != 0) {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (*p == 0) return true;
      for (;; ++name) {
        if (reference_match(name, p)) return true;
        if (*name == 0) return false;
      }
    }
    if (*name == 0) return false;  // every element but "*" needs a character
    if (*p == '?') {
      ++p;
    } else if (*p == '\\') {
      if (p[1] == 0 || fold(p[1]) != fold(*name)) return false;
      p += 2;
    } else if (*p == '[') {
      if (!reference_class(p, *name)) return false;
    } else {
      if (fold(*p) != fold(*name)) return false;
      ++p;
    }
    ++name;
  }
  return *name == 0;
}

bool reference_match(const std::string& name, const std::string& pattern) {
  return reference_match(reinterpret_cast<const unsigned char*>(name.c_str()),
                         reinterpret_cast<const unsigned char*>(pattern.c_str()));
}

int star_runs(std::string_view pattern) {
  int runs = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '*' && (i == 0 || pattern[i - 1] != '*')) ++runs;
  }
  return runs;
}

// Every byte escaped: a literal pattern that matches the name and its case variants.
std::string escaped(std::string_view name) {
  std::string pattern;
  for (char c : name) {
    pattern += '\\';
    pattern += c;
  }
  return pattern;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t nul = input.find('\0');
  std::string pattern(input.substr(0, nul));
  std::string name;
  if (nul != std::string_view::npos) {
    std::string_view rest = input.substr(nul + 1);
    name.assign(rest.substr(0, rest.find('\0')));
  }

  const bool matched = kuvo::match_pattern(name, pattern);
  if (!kuvo::match_pattern(name, "*")) std::abort();
  if (!kuvo::match_pattern(name, escaped(name))) std::abort();

  const bool ignored = kuvo::is_ignored(pattern + " ", name);
  if (pattern.find(' ') == std::string::npos && ignored != (matched && !pattern.empty()))
    std::abort();

  if (name.size() > kMaxReferenceName || star_runs(pattern) > kMaxReferenceStarRuns) return 0;
  if (matched != reference_match(name, pattern)) std::abort();
  bool any = false;
  std::size_t start = 0;
  while (start <= pattern.size()) {
    std::size_t space = pattern.find(' ', start);
    if (space == std::string::npos) space = pattern.size();
    std::string one = pattern.substr(start, space - start);
    if (!one.empty() && reference_match(name, one)) any = true;
    start = space + 1;
  }
  if (ignored != any) std::abort();
  return 0;
}
