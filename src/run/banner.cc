#include "run/banner.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace kuvo {
namespace {

// The banner is kept scrambled, one length byte followed by that many bytes,
// each XORed with successive characters of the key (the key starting over
// after its last character). Scrambling happens at compile time, so only the
// scrambled bytes are stored in the program.
constexpr std::string_view kKey = "release-progress-kept-honestly";
constexpr std::string_view kPlainBanner = "kuvo 1.0: SFV upload check";
static_assert(kKey.size() == 30);
static_assert(kPlainBanner.size() == 26);

constexpr std::array<unsigned char, kPlainBanner.size() + 1> scramble(std::string_view text) {
  std::array<unsigned char, kPlainBanner.size() + 1> stored{};
  stored[0] = static_cast<unsigned char>(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    stored[i + 1] = static_cast<unsigned char>(text[i] ^ kKey[i % kKey.size()]);
  }
  return stored;
}

constexpr auto kStoredBanner = scramble(kPlainBanner);

}  // namespace

std::string unscramble_banner() {
  std::size_t length = kStoredBanner[0];
  std::string banner(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    banner[i] = static_cast<char>(kStoredBanner[i + 1] ^ kKey[i % kKey.size()]);
  }
  return banner;
}

}  // namespace kuvo
