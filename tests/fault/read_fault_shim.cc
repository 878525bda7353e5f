// A fault injector for the end-to-end tests, preloaded (LD_PRELOAD) into one
// kuvo run at a time: it makes reads of one file and listings of directories
// fail part-way, as a failing disk does, and interrupts reads with signals.
// It is built with the tests only and never installed.
//
// The run's environment says what to do:
//   KUVO_FAULT_READ_NAME=<base name>  `read` on a descriptor open on a file of
//   KUVO_FAULT_READ_AFTER=<bytes>     this base name fails with EIO from this
//                                     offset on; a read that would cross the
//                                     offset first delivers the bytes before it.
//   KUVO_FAULT_READDIR_AFTER=<n>      `readdir` (and `readdir64`) fails with EIO
//                                     once it has given n entries of a listing,
//                                     "." and ".." included.
//   KUVO_FAULT_EINTR=1                every `read` fails once with EINTR before
//                                     it goes through.
//   KUVO_FAULT_MOVE_ON_READ=<base name>  the first `read` of a file of this base
//   KUVO_FAULT_MOVE_FROM=<path>          name renames FROM to TO first, as
//   KUVO_FAULT_MOVE_TO=<path>            another process may while kuvo reads.
//   KUVO_FAULT_REPLACE_NAME=<base name>  once a `read` on a descriptor open on
//   KUVO_FAULT_REPLACE_WITH=<bytes>      a file of this base name reaches the
//                                     end, the file under that name is replaced,
//                                     once, by a new file holding these bytes,
//                                     as another process may do between kuvo's
//                                     read of a file and its rename.
//   KUVO_FAULT_WRITE_NAME=<base name> after the first read of a file of this
//                                     base name, another writer appends a byte
//                                     to it ("write"), or finds its open held by
//                                     the run's lease ("write held").
//   KUVO_FAULT_LOG=<path>             a line is appended for every fault
//                                     injected ("read EIO", "readdir EIO",
//                                     "read EINTR"), so that a test can tell
//                                     that its fault did fire.
// kuvo is single-threaded, so the state below needs no lock.

// Fortified headers define `read` inline, which would clash with ours.
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The definition of `name` that this library hides: the C library's, or the
// sanitizer runtime's when that comes next.
template <typename Function>
Function next_definition(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// A numeric setting, or -1 when it is unset or empty.
long long setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoll(value) : -1;
}

// Appends `line` to the fault log and then fails the call with `error`.
void inject(const char* line, int error) {
  if (const char* path = std::getenv("KUVO_FAULT_LOG")) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      // A lost line only weakens the test's evidence, never the run.
      ssize_t ignored = write(fd, line, std::strlen(line));
      (void)ignored;
      close(fd);
    }
  }
  errno = error;
}

// True when `fd` is open on a file whose base name is `name`; its path goes
// to `target`.
bool opens_file_named(int fd, const char* name, char (&target)[4096]) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length < 0) return false;
  target[length] = '\0';
  const char* slash = std::strrchr(target, '/');
  return std::strcmp(slash != nullptr ? slash + 1 : target, name) == 0;
}

// Another writer at `path`, as an upload server writing over the file; it
// does not wait for a lease to go (the run holds it until it ends).
void write_meanwhile(const char* path) {
  static bool written = false;
  if (written) return;
  written = true;
  int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    inject(errno == EWOULDBLOCK ? "write held\n" : "write failed\n", 0);
    return;
  }
  inject(write(fd, "x", 1) == 1 ? "write\n" : "write failed\n", 0);
  close(fd);
}

// Descriptors whose last read was interrupted, so that the retry goes through.
bool interrupted[1024];

// Entries given so far per open listing; a closed listing's slot is freed, so
// that a new listing that gets the same address starts from zero.
struct Listing {
  const DIR* dir;
  long long given;
};
Listing listings[16];

Listing& listing_of(const DIR* dir) {
  Listing* free_slot = &listings[0];
  for (Listing& listing : listings) {
    if (listing.dir == dir) return listing;
    if (listing.dir == nullptr) free_slot = &listing;
  }
  *free_slot = Listing{dir, 0};
  return *free_slot;
}

// The next entry from `real`, or nullptr with EIO once the limit is reached.
template <typename Entry>
Entry* next_entry(DIR* dir, Entry* (*real)(DIR*)) {
  const long long after = setting("KUVO_FAULT_READDIR_AFTER");
  if (after < 0) return real(dir);
  Listing& listing = listing_of(dir);
  if (listing.given >= after) {
    inject("readdir EIO\n", EIO);
    return nullptr;
  }
  Entry* entry = real(dir);
  if (entry != nullptr) ++listing.given;
  return entry;
}

// Replaces the file open on `fd` by a new one holding `bytes`, under its name.
void replace_file(int fd, const char* bytes) {
  char link[64];
  char target[4096] = {};
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  if (readlink(link, target, sizeof target - 8) < 0) return;
  const std::string fresh = std::string(target) + ".new";
  if (FILE* out = std::fopen(fresh.c_str(), "wb")) {
    std::fputs(bytes, out);
    std::fclose(out);
    if (std::rename(fresh.c_str(), target) == 0) inject("replaced\n", 0);
  }
}

bool replaced = false;

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  static const auto real = next_definition<ssize_t (*)(int, void*, size_t)>("read");
  static bool moved = false;  // FROM and TO are set whenever MOVE_ON_READ is
  char target[4096];
  if (const char* on = std::getenv("KUVO_FAULT_MOVE_ON_READ");
      !moved && on != nullptr && opens_file_named(fd, on, target)) {
    moved = true;
    if (rename(std::getenv("KUVO_FAULT_MOVE_FROM"), std::getenv("KUVO_FAULT_MOVE_TO")) == 0)
      inject("moved\n", 0);
  }
  if (setting("KUVO_FAULT_EINTR") > 0 && fd >= 0 && fd < 1024) {
    interrupted[fd] = !interrupted[fd];
    if (interrupted[fd]) {
      inject("read EINTR\n", EINTR);
      return -1;
    }
  }
  if (const char* written = std::getenv("KUVO_FAULT_WRITE_NAME")) {
    const ssize_t got = real(fd, buffer, count);
    if (got > 0 && opens_file_named(fd, written, target)) write_meanwhile(target);
    return got;
  }
  const char* name = std::getenv("KUVO_FAULT_READ_NAME");
  const long long after = setting("KUVO_FAULT_READ_AFTER");
  if (name != nullptr && after >= 0 && opens_file_named(fd, name, target)) {
    // The file's offset stands for the bytes delivered so far, also across
    // reopenings, as a bad spot on the disk stays where it is.
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    if (offset >= after) {
      inject("read EIO\n", EIO);
      return -1;
    }
    if (offset >= 0 && static_cast<unsigned long long>(after - offset) < count) {
      count = static_cast<size_t>(after - offset);
    }
  }
  const ssize_t got = real(fd, buffer, count);
  const char* replace = std::getenv("KUVO_FAULT_REPLACE_NAME");
  if (got == 0 && replace != nullptr && !replaced && opens_file_named(fd, replace, target)) {
    replaced = true;
    const char* with = std::getenv("KUVO_FAULT_REPLACE_WITH");
    replace_file(fd, with != nullptr ? with : "");
  }
  return got;
}

extern "C" dirent* readdir(DIR* dir) {
  static const auto real = next_definition<dirent* (*)(DIR*)>("readdir");
  return next_entry(dir, real);
}

extern "C" dirent64* readdir64(DIR* dir) {
  static const auto real = next_definition<dirent64* (*)(DIR*)>("readdir64");
  return next_entry(dir, real);
}

extern "C" int closedir(DIR* dir) {
  static const auto real = next_definition<int (*)(DIR*)>("closedir");
  for (Listing& listing : listings) {
    if (listing.dir == dir) listing = Listing{nullptr, 0};
  }
  return real(dir);
}
