// The name lookups exactly as a release's names are matched, walked the slow
// way and kept apart from the library, so that the tests and the fuzz target
// check the library's lookups against the rule itself and not only against
// another implementation of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fileset/directory_scanner.h"
#include "fileset/sfv_reader.h"

namespace kuvo::reference {

inline std::string normalise(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == ' ' || c == '-' || c == '_') {
      out += '.';
    } else if (c >= 'a' && c <= 'z') {
      out += static_cast<char>(c - 'a' + 'A');
    } else {
      out += c;
    }
  }
  return out;
}

// The normalised name with its first ".OK." reduced to "."; none when it has none.
inline std::optional<std::string> reduce(const std::string& normalised) {
  std::size_t at = normalised.find(".OK.");
  if (at == std::string::npos) return std::nullopt;
  return normalised.substr(0, at + 1) + normalised.substr(at + 4);
}

inline const SfvEntry* find_sfv_entry(const SfvList& list, std::string_view name) {
  for (const SfvEntry& entry : list)
    if (entry.file_name == name) return &entry;
  const std::string n = normalise(name);
  const std::optional<std::string> r = reduce(n);
  for (const SfvEntry& entry : list) {
    const std::string e = normalise(entry.file_name);
    if (n == e) return &entry;
    if (r && *r == e) return &entry;
  }
  return nullptr;
}

inline const NameEntry* find_listed_name(const NameList& list, std::string_view name) {
  for (const NameEntry& entry : list)
    if (entry.name == name) return &entry;
  const std::string n = normalise(name);
  for (const NameEntry& entry : list) {
    const std::string e = normalise(entry.name);
    if (n == e) return &entry;
    const std::optional<std::string> r = reduce(e);
    if (r && *r == n) return &entry;
  }
  return nullptr;
}

}  // namespace kuvo::reference
