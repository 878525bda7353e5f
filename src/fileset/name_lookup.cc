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

// Normalising works byte by byte, so a looked-up name ending in `suffix`
// normalises to a text ending in the normalised suffix; an entry that matches
// it equals it normalised, or reduced (an exact match equals it normalised too).
bool may_match_name_ending_in(std::string_view name, std::string_view suffix) {
  std::string normalised = normalize_name(name);
  const std::string normalised_suffix = normalize_name(suffix);
  if (normalised.ends_with(normalised_suffix)) return true;
  return reduce_ok_segment(normalised) && normalised.ends_with(normalised_suffix);
}

const SfvEntry* find_sfv_entry(const SfvList& list, std::string_view name) {
  for (const SfvEntry& entry : list) {
    if (entry.file_name == name) return &entry;
  }
  const std::string normalised = normalize_name(name);
  std::string reduced = normalised;
  const bool has_ok = reduce_ok_segment(reduced);
  for (const SfvEntry& entry : list) {
    const std::string other = normalize_name(entry.file_name);
    if (other == normalised || (has_ok && other == reduced)) return &entry;
  }
  return nullptr;
}

const NameEntry* find_listed_name(const NameList& list, std::string_view name) {
  for (const NameEntry& entry : list) {
    if (entry.name == name) return &entry;
  }
  const std::string normalised = normalize_name(name);
  for (const NameEntry& entry : list) {
    std::string other = normalize_name(entry.name);
    if (other == normalised) return &entry;
    if (reduce_ok_segment(other) && other == normalised) return &entry;
  }
  return nullptr;
}

}  // namespace kuvo
