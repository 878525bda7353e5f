#include "fileset/keyed_hash.h"

#include <sys/random.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstring>

namespace kuvo {
namespace {

std::uint64_t rotate_left(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

// The 8 bytes at `bytes` as a little-endian word.
std::uint64_t load_word(const unsigned char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, 8);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

// The `count` (less than 8) bytes at `bytes` as a little-endian word, the rest
// zero; in pieces of 4, 2 and 1 bytes, which costs less than a byte loop.
std::uint64_t load_tail(const unsigned char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::size_t at = 0;
    if (count & 4) {
      std::uint32_t piece;
      std::memcpy(&piece, bytes, 4);
      value = piece;
      at = 4;
    }
    if (count & 2) {
      std::uint16_t piece;
      std::memcpy(&piece, bytes + at, 2);
      value |= static_cast<std::uint64_t>(piece) << (8 * at);
      at += 2;
    }
    if (count & 1) value |= static_cast<std::uint64_t>(bytes[at]) << (8 * at);
  } else {
    for (std::size_t i = 0; i < count; ++i)
      value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return value;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotate_left(v1, 13);
    v1 ^= v0;
    v0 = rotate_left(v0, 32);
    v2 += v3;
    v3 = rotate_left(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotate_left(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotate_left(v1, 17);
    v1 ^= v2;
    v2 = rotate_left(v2, 32);
  }

  // Takes in one word with `rounds` compression rounds.
  void absorb(std::uint64_t word, int rounds) {
    v3 ^= word;
    for (int i = 0; i < rounds; ++i) round();
    v0 ^= word;
  }
};

// SipHash-c-d: `compression` rounds per word, `finalisation` rounds at the end.
template <int compression, int finalisation>
std::uint64_t siphash(const HashKey& key, std::string_view data) {
  SipState s{key.k0 ^ 0x736f6d6570736575u, key.k1 ^ 0x646f72616e646f6du,
             key.k0 ^ 0x6c7967656e657261u, key.k1 ^ 0x7465646279746573u};
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t whole = data.size() - data.size() % 8;
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_word(bytes + i), compression);
  s.absorb(load_tail(bytes + whole, data.size() - whole) | static_cast<std::uint64_t>(data.size())
                                                               << 56,
           compression);
  s.v2 ^= 0xff;
  for (int i = 0; i < finalisation; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

HashKey draw_key() {
  HashKey key;
  if (getrandom(&key, sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key)) return key;
  // Weaker, but still unknown to an uploader in advance.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  key.k0 = static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(getpid()) << 32);
  key.k1 = reinterpret_cast<std::uintptr_t>(&key) ^
           static_cast<std::uint64_t>(now) * 0x9E3779B97F4A7C15u;
  return key;
}

}  // namespace

std::uint64_t keyed_hash(const HashKey& key, std::string_view data) {
  return siphash<2, 4>(key, data);
}

std::uint64_t table_hash(const HashKey& key, std::string_view data) {
  return siphash<1, 3>(key, data);
}

const HashKey& run_hash_key() {
  static const HashKey key = draw_key();
  return key;
}

}  // namespace kuvo
