#include "run/banner.h"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace kuvo {
namespace {

// The banner is kept scrambled, one length byte followed by that many bytes,
// each XORed with successive characters of the key (the key starting over
// after its last character). Scrambling happens at compile time, so only the
// scrambled bytes are stored in the program.
constexpr std::string_view kKey = "release-progress-kept-honestly";
static_assert(kKey.size() == 30);

// The banner names the release as major.minor of the one version number the
// build sets, so that it can never disagree with --version, the man pages or
// the package.
constexpr std::string_view kVersion = KUVO_VERSION;
constexpr std::string_view kMajorMinor =
    kVersion.substr(0, kVersion.find('.', kVersion.find('.') + 1));
constexpr std::string_view kLead = "kuvo ";
constexpr std::string_view kTail = ": SFV upload check";
constexpr std::size_t kBannerSize = kLead.size() + kMajorMinor.size() + kTail.size();
static_assert(kBannerSize == 26, "the banner is 26 characters: reword kTail for this version");

constexpr std::array<char, kBannerSize> compose_banner() {
  std::array<char, kBannerSize> text{};
  std::size_t at = 0;
  for (std::string_view part : {kLead, kMajorMinor, kTail}) {
    for (char c : part) text[at++] = c;
  }
  return text;
}

constexpr auto kBannerText = compose_banner();
constexpr std::string_view kPlainBanner(kBannerText.data(), kBannerText.size());

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
