// Case-insensitive comparison as kuvo does it everywhere: only "a"-"z" fold onto
// "A"-"Z"; the locale is never consulted and bytes 0x80-0xFF have no case.
#pragma once

#include <string_view>

namespace kuvo {

constexpr unsigned char fold_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// True when `a` and `b` have the same length and fold to the same bytes.
constexpr bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold_byte(static_cast<unsigned char>(a[i])) != fold_byte(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// True when `name` is at least as long as `suffix` and ends in it, ignoring case.
constexpr bool ends_with_ignoring_case(std::string_view name, std::string_view suffix) {
  return name.size() >= suffix.size() &&
         equals_ignoring_case(name.substr(name.size() - suffix.size()), suffix);
}

// The SFV-name test: at least four characters, the last four ".SFV" in any case.
constexpr bool is_sfv_name(std::string_view name) { return ends_with_ignoring_case(name, ".SFV"); }

}  // namespace kuvo
