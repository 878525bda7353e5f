#include "run/memory.h"

#include <unistd.h>

#include <new>

namespace kuvo {
namespace {

// Called by operator new when it cannot allocate: nothing is retried, since a
// run that cannot get a few kilobytes cannot do its work either.
[[noreturn]] void out_of_memory() {
  static const char message[] = "Virtual memory exceeded in `new'\n";
  ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
  (void)ignored;
  _exit(255);
}

}  // namespace

void install_out_of_memory_handler() { std::set_new_handler(out_of_memory); }

}  // namespace kuvo
