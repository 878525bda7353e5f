// Fuzzes the name lookups. The input is a list of names, one a line: the lines
// before the first empty line are an SFV's entries, the lines after it a
// directory listing (which, as every listing, ends in "*"). Every SFV name,
// alone and with the missing suffix, is looked up in the listing and every
// directory name in the SFV list; find_sfv_entry and find_listed_name must
// return the entry that a plain walk by the equivalence rules returns, and so
// must the indexed lookups where they are built.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fileset/directory_scanner.h"
#include "fileset/name_lookup.h"
#include "fileset/sfv_reader.h"

#if __has_include("fileset/name_index.h")
#include "fileset/name_index.h"
#define KUVO_FUZZ_NAME_INDEX 1
#endif

namespace {

using kuvo::NameEntry;
using kuvo::NameList;
using kuvo::SfvEntry;
using kuvo::SfvList;

std::string reference_normalize(std::string_view name) {
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

// The normalised name with its first ".OK." reduced to "."; empty when it has none.
std::string reference_reduce(const std::string& normalised) {
  std::size_t at = normalised.find(".OK.");
  if (at == std::string::npos) return {};
  return normalised.substr(0, at) + "." + normalised.substr(at + 4);
}

const SfvEntry* reference_find_sfv_entry(const SfvList& list, std::string_view name) {
  for (const SfvEntry& entry : list) {
    if (entry.file_name == name) return &entry;
  }
  const std::string normalised = reference_normalize(name);
  const std::string reduced = reference_reduce(normalised);
  for (const SfvEntry& entry : list) {
    const std::string other = reference_normalize(entry.file_name);
    if (other == normalised) return &entry;
    if (!reduced.empty() && other == reduced) return &entry;
  }
  return nullptr;
}

const NameEntry* reference_find_listed_name(const NameList& list, std::string_view name) {
  for (const NameEntry& entry : list) {
    if (entry.name == name) return &entry;
  }
  const std::string normalised = reference_normalize(name);
  for (const NameEntry& entry : list) {
    const std::string other = reference_normalize(entry.name);
    if (other == normalised) return &entry;
    const std::string reduced = reference_reduce(other);
    if (!reduced.empty() && reduced == normalised) return &entry;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  SfvList sfv;
  NameList dir;
  bool in_dir = false;
  while (!input.empty()) {
    std::size_t lf = input.find('\n');
    std::string_view line = input.substr(0, lf);
    if (line.empty() && !in_dir) {
      in_dir = true;
    } else if (in_dir) {
      dir.push_back({std::string(line)});
    } else {
      sfv.push_back({std::string(line), static_cast<std::uint32_t>(sfv.size())});
    }
    if (lf == std::string_view::npos) break;
    input.remove_prefix(lf + 1);
  }
  dir.push_back({"*"});

  if (kuvo::normalize_name("My_Song - Live.mp3") != "MY.SONG...LIVE.MP3") std::abort();
  for (const SfvEntry& entry : sfv) {
    if (kuvo::normalize_name(entry.file_name) != reference_normalize(entry.file_name)) std::abort();
  }

#ifdef KUVO_FUZZ_NAME_INDEX
  const kuvo::SfvIndex sfv_index = kuvo::index_sfv_list(sfv);
  const kuvo::NameIndex dir_index = kuvo::index_name_list(dir);
#endif

  std::vector<std::string> sfv_side;
  for (const SfvEntry& entry : sfv) {
    sfv_side.push_back(entry.file_name);
    sfv_side.push_back(entry.file_name + "-missing");
  }
  sfv_side.push_back("*");
  for (const std::string& name : sfv_side) {
    const NameEntry* expected = reference_find_listed_name(dir, name);
    if (kuvo::find_listed_name(dir, name) != expected) std::abort();
#ifdef KUVO_FUZZ_NAME_INDEX
    if (kuvo::find_listed_name(dir_index, name) != expected) std::abort();
#endif
  }
  for (const NameEntry& entry : dir) {
    const SfvEntry* expected = reference_find_sfv_entry(sfv, entry.name);
    if (kuvo::find_sfv_entry(sfv, entry.name) != expected) std::abort();
#ifdef KUVO_FUZZ_NAME_INDEX
    if (kuvo::find_sfv_entry(sfv_index, entry.name) != expected) std::abort();
#endif
  }
  return 0;
}
