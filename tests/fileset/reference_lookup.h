// The name lookups exactly as a release's names are matched, walked the slow
// way and kept apart from the library, so that the tests and the fuzz target
// check the library's lookups against the rule itself and not only against
// another implementation of it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The position of the entry of `list` that the directory-side `name` denotes.
inline std::optional<std::size_t> find_sfv_entry(const SfvList& list, std::string_view name) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i].file_name == name) return i;
  const std::string n = normalise(name);
  const std::optional<std::string> r = reduce(n);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string e = normalise(list[i].file_name);
    if (n == e) return i;
    if (r && *r == e) return i;
  }
  return std::nullopt;
}

// The position of the regular file of `list` that the SFV-side `name`
// denotes; the closing "*" of a readable listing counts as size().
inline std::optional<std::size_t> find_listed_name(const NameList& list, std::string_view name) {
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list.kind(i) == EntryKind::regular && list.name(i) == name) return i;
  const std::string n = normalise(name);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) != EntryKind::regular) continue;
    const std::string e = normalise(list.name(i));
    if (n == e) return i;
    const std::optional<std::string> r = reduce(e);
    if (r && *r == n) return i;
  }
  if (name == "*" && list.readable()) return list.size();
  return std::nullopt;
}

// A list holding `names` in list order, head first, as an SFV gives it.
inline SfvList sfv_list(const std::vector<std::string>& names) {
  SfvList list;
  for (auto name = names.rbegin(); name != names.rend(); ++name) list.add_line(*name, 0);
  return list;
}

// A listing holding `names` in list order as regular files; one that was read
// (and so closes with "*") unless `readable` is false.
inline NameList name_list(const std::vector<std::string>& names, bool readable = true) {
  NameList list;
  for (const std::string& name : names) list.add(name, EntryKind::regular);
  if (readable) list.mark_readable();
  return list;
}

// The position of the entry `found` of `list`, which views its text; none for none.
inline std::optional<std::size_t> position_in(const SfvList& list,
                                              const std::optional<SfvEntry>& found) {
  if (!found) return std::nullopt;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const SfvEntry entry = list[i];
    if (entry.file_name.data() == found->file_name.data() &&
        entry.file_name.size() == found->file_name.size() &&
        entry.expected_crc == found->expected_crc) {
      return i;
    }
  }
  return list.size() + 1;  // not the list's own entry
}

}  // namespace kuvo::reference
