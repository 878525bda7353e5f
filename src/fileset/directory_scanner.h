// Listing a directory: every entry's name with its kind, in one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fileset/growing_array.h"

namespace kuvo {

// What an entry is, following symbolic links.
enum class EntryKind : std::uint8_t {
  regular,  // a regular file, or a link to one
  other,    // a directory, FIFO, socket or device, or a link to one
  removed   // taken out of the listing since it was read
};

// Where a scan learns each entry's kind: from the directory entry itself, with
// a status read only for links and entries of unknown type, or from a status
// read for every entry. Both give the same listing; the second is there so
// that tests can run both paths over one tree.
enum class KindSource { directory_entry, status };

// A directory's entries in the reverse of the order the directory yields them,
// names in one block of text. The run's own changes are applied to it, so that
// it answers as a fresh listing would: names it removes drop out, names it adds
// come last.
class NameList {
 public:
  // False when the directory could not be opened or read to its end.
  bool readable() const { return readable_; }
  std::size_t size() const { return spans_.size(); }
  std::string_view name(std::size_t position) const {
    const Span& span = spans_[position];
    return view_of(text_, span.offset, span.size);
  }
  EntryKind kind(std::size_t position) const {
    return static_cast<EntryKind>(spans_[position].kind);
  }

  // Marks the list as read; an unread list holds nothing. Cannot fail.
  void mark_readable() { readable_ = true; }
  // Adds an entry after all others; a name longer than any directory entry's
  // is not added. Cannot fail.
  void add(std::string_view name, EntryKind kind);
  // Takes the entry at `position` out; its place stays, of kind removed.
  void remove(std::size_t position) {
    spans_[position].kind = static_cast<std::uint8_t>(EntryKind::removed);
  }
  // Turns the list around: the first entry becomes the last. Cannot fail.
  void reverse();

 private:
  // Eight bytes an entry, beside its name's.
  struct Span {
    std::uint64_t offset : 48;
    std::uint64_t size : 8;  // a directory entry's name has at most 255 bytes
    std::uint64_t kind : 8;  // an EntryKind
  };
  GrowingArray<char> text_;
  GrowingArray<Span> spans_;
  bool readable_ = false;
};

// When a directory was last changed, as it stood just before it was listed.
struct DirectoryStamp {
  std::int64_t changed_ns = 0;  // the directory's modification time
  bool known = false;
};

// Stamps the directory `path` now; an unknown stamp when its status cannot
// be read. Cannot fail otherwise.
DirectoryStamp stamp_directory(const std::string& path);

// True when the directory `path` has a modification time other than
// `stamp`'s, or either is unknown. File systems keep that time in coarse steps,
// so a change made within the step of the one before may not show. Cannot
// fail.
bool may_have_changed(const std::string& path, const DirectoryStamp& stamp);

// Lists `path`, every entry but "." and ".." with its kind, following symbolic
// links; entries whose kind cannot be read (dangling links, entries gone
// meanwhile, a directory that can be read but not searched) are left out.
// Returns an unreadable, empty list when the directory cannot be opened or a
// read of it fails part-way (EINTR is retried).
NameList scan_directory(const std::string& path, KindSource source = KindSource::directory_entry);

}  // namespace kuvo
