// What happens when the run cannot get memory.
#pragma once

namespace kuvo {

// Makes every failed allocation end the process with exit status 255 after the
// text "Virtual memory exceeded in `new'" on standard error; cannot fail.
void install_out_of_memory_handler();

}  // namespace kuvo
