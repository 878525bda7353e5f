// Fuzzes the name lookups. The input is a list of names, one a line: the lines
// before the first empty line are an SFV's entries, the lines after it a
// directory listing, which closes with "*" as every listing that was read. A
// listing line that begins with "/" (no entry name holds one) is an entry that
// is not a regular file, named by the rest of the line. Every SFV name, alone
// and with the missing suffix, is looked up in the listing and every directory
// name in the SFV list; find_sfv_entry and find_listed_name must return the
// entry that a plain walk by the equivalence rules returns, and so must the
// indexed lookups.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"
#include "fileset/reference_lookup.h"
#include "fileset/sfv_reader.h"

namespace {

using kuvo::EntryKind;
using kuvo::NameList;
using kuvo::SfvList;

// Where a listing lookup landed, with the closing "*" at size() as the
// reference walk has it.
std::optional<std::size_t> listed_at(const NameList& list, std::optional<std::size_t> found) {
  if (found && *found == kuvo::kClosingStar) return list.size();
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> sfv_names;
  NameList dir;
  std::vector<std::string> dir_names;
  bool in_dir = false;
  while (!input.empty()) {
    std::size_t lf = input.find('\n');
    std::string_view line = input.substr(0, lf);
    if (line.empty() && !in_dir) {
      in_dir = true;
    } else if (in_dir) {
      const bool other = line.starts_with('/');
      if (other) line.remove_prefix(1);
      dir.add(line, other ? EntryKind::other : EntryKind::regular);
      dir_names.emplace_back(line);
    } else {
      sfv_names.emplace_back(line);
    }
    if (lf == std::string_view::npos) break;
    input.remove_prefix(lf + 1);
  }
  dir.mark_readable();
  dir_names.emplace_back("*");
  const SfvList sfv = kuvo::reference::sfv_list(sfv_names);

  if (kuvo::normalize_name("My_Song - Live.mp3") != "MY.SONG...LIVE.MP3") std::abort();
  for (const std::string& name : sfv_names) {
    if (kuvo::normalize_name(name) != kuvo::reference::normalise(name)) std::abort();
  }

  const kuvo::SfvIndex sfv_index = kuvo::index_sfv_list(sfv);
  const kuvo::NameIndex dir_index = kuvo::index_name_list(dir);

  std::vector<std::string> sfv_side;
  for (const std::string& name : sfv_names) {
    sfv_side.push_back(name);
    sfv_side.push_back(name + "-missing");
  }
  sfv_side.push_back("*");
  for (const std::string& name : sfv_side) {
    const std::optional<std::size_t> expected = kuvo::reference::find_listed_name(dir, name);
    if (listed_at(dir, kuvo::find_listed_name(dir, name)) != expected) std::abort();
    if (listed_at(dir, kuvo::find_listed_name(dir_index, name)) != expected) std::abort();
    // An exact name is found exactly when a regular file is spelled so.
    std::optional<std::size_t> exact = kuvo::find_exact_name(dir_index, name);
    if (exact && (dir.name(*exact) != name || dir.kind(*exact) != EntryKind::regular)) std::abort();
    if (!exact && expected && *expected < dir.size() && dir.name(*expected) == name) std::abort();
  }
  for (const std::string& name : dir_names) {
    const std::optional<std::size_t> expected = kuvo::reference::find_sfv_entry(sfv, name);
    if (kuvo::reference::position_in(sfv, kuvo::find_sfv_entry(sfv, name)) != expected)
      std::abort();
    if (kuvo::reference::position_in(sfv, kuvo::find_sfv_entry(sfv_index, name)) != expected)
      std::abort();
  }
  return 0;
}
