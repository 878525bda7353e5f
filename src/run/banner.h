// The one-line greeting every run prints before anything else.
#pragma once

#include <string>

namespace kuvo {

// Decodes the banner that the program stores scrambled; cannot fail.
std::string unscramble_banner();

}  // namespace kuvo
