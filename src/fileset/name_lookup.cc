#include "fileset/name_lookup.h"

namespace kuvo {

std::string normalize_name(std::string_view name) {
  std::string result(name);
  for (char& c : result) c = normalize_byte(c);
  return result;
}

bool reduce_ok_segment(std::string& normalised) {
  std::size_t at = normalised.find(".OK.");
  if (at == std::string::npos) return false;
  normalised.erase(at + 1, 3);
  return true;
}

std::string_view listed_name(const NameList& list, std::size_t position) {
  return position == kClosingStar ? "*" : list.name(position);
}

std::optional<SfvEntry> find_sfv_entry(const SfvList& list, std::string_view name) {
  for (const SfvEntry entry : list) {
    if (entry.file_name == name) return entry;
  }
  const std::string normalised = normalize_name(name);
  std::string reduced = normalised;
  const bool has_ok = reduce_ok_segment(reduced);
  for (const SfvEntry entry : list) {
    const std::string other = normalize_name(entry.file_name);
    if (other == normalised || (has_ok && other == reduced)) return entry;
  }
  return std::nullopt;
}

std::optional<std::size_t> find_listed_name(const NameList& list, std::string_view name) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) == EntryKind::regular && list.name(i) == name) return i;
  }
  const std::string normalised = normalize_name(name);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) != EntryKind::regular) continue;
    std::string other = normalize_name(list.name(i));
    if (other == normalised) return i;
    if (reduce_ok_segment(other) && other == normalised) return i;
  }
  if (name == "*" && list.readable()) return kClosingStar;
  return std::nullopt;
}

}  // namespace kuvo
