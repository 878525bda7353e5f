// Fuzzes the name lookups. The input is a list of names, one a line: the lines
// before the first empty line are an SFV's entries, the lines after it a
// directory listing (which, as every listing, ends in "*"). Every SFV name,
// alone and with the missing suffix, is looked up in the listing and every
// directory name in the SFV list; find_sfv_entry and find_listed_name must
// return the entry that a plain walk by the equivalence rules returns, and so
// must the indexed lookups.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"
#include "fileset/reference_lookup.h"
#include "fileset/sfv_reader.h"

namespace {

using kuvo::NameEntry;
using kuvo::NameList;
using kuvo::SfvEntry;
using kuvo::SfvList;

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
    if (kuvo::normalize_name(entry.file_name) != kuvo::reference::normalise(entry.file_name))
      std::abort();
  }

  const kuvo::SfvIndex sfv_index = kuvo::index_sfv_list(sfv);
  const kuvo::NameIndex dir_index = kuvo::index_name_list(dir);

  std::vector<std::string> sfv_side;
  for (const SfvEntry& entry : sfv) {
    sfv_side.push_back(entry.file_name);
    sfv_side.push_back(entry.file_name + "-missing");
  }
  sfv_side.push_back("*");
  for (const std::string& name : sfv_side) {
    const NameEntry* expected = kuvo::reference::find_listed_name(dir, name);
    if (kuvo::find_listed_name(dir, name) != expected) std::abort();
    if (kuvo::find_listed_name(dir_index, name) != expected) std::abort();
  }
  for (const NameEntry& entry : dir) {
    const SfvEntry* expected = kuvo::reference::find_sfv_entry(sfv, entry.name);
    if (kuvo::find_sfv_entry(sfv, entry.name) != expected) std::abort();
    if (kuvo::find_sfv_entry(sfv_index, entry.name) != expected) std::abort();
  }
  return 0;
}
