#include "crc/crc32_kernels.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "crc/crc32.h"
#include "crc/crc32_reference.h"

namespace kuvo {

// Names the kernel in failure messages.
void PrintTo(const Crc32Kernel& kernel, std::ostream* out) { *out << kernel.name; }

namespace {

std::vector<unsigned char> random_bytes(std::size_t size) {
  std::mt19937 generator(20261207);
  std::vector<unsigned char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

// Every kernel this CPU runs is checked against the one-lookup-per-byte reference.
class Crc32KernelTest : public ::testing::TestWithParam<Crc32Kernel> {};

TEST_P(Crc32KernelTest, CatalogueValues) {
  Crc32Function update = GetParam().update;
  const std::string check = "123456789";
  EXPECT_EQ(update(0, reinterpret_cast<const unsigned char*>(check.data()), check.size()),
            0xCBF43926u);
  const unsigned char none[1] = {0};
  EXPECT_EQ(update(0, none, 0), 0u) << "empty input";
  EXPECT_EQ(update(0x12345678u, none, 0), 0x12345678u) << "empty input keeps a running CRC";
}

TEST_P(Crc32KernelTest, EveryLengthUpTo2048) {
  Crc32Function update = GetParam().update;
  std::vector<unsigned char> data = random_bytes(2048);
  std::uint32_t expected = 0;  // the reference over the first n bytes, grown a byte at a time
  for (std::size_t n = 0; n <= data.size(); ++n) {
    ASSERT_EQ(update(0, data.data(), n), expected) << "length " << n;
    if (n < data.size()) expected = crc32_bytewise(expected, &data[n], 1);
  }
}

TEST_P(Crc32KernelTest, EveryStartAlignment) {
  Crc32Function update = GetParam().update;
  std::vector<unsigned char> data = random_bytes(64 + 4200);
  // Lengths just around each kernel's block and loop sizes.
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t size :
         {1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 255, 256, 257, 319, 1031, 4200}) {
      const unsigned char* start = data.data() + offset;
      ASSERT_EQ(update(0, start, size), crc32_bytewise(0, start, size))
          << "offset " << offset << ", length " << size;
    }
  }
}

TEST_P(Crc32KernelTest, LargeLengths) {
  Crc32Function update = GetParam().update;
  static const std::vector<unsigned char> data = random_bytes((3 << 20) + 13);
  for (std::size_t size : {4095, 65535, 65536, 65537, 262147, 1 << 20, (3 << 20) + 13}) {
    EXPECT_EQ(update(0, data.data(), size), crc32_bytewise(0, data.data(), size))
        << "length " << size;
  }
}

TEST_P(Crc32KernelTest, SplitsAcrossCalls) {
  Crc32Function update = GetParam().update;
  std::vector<unsigned char> data = random_bytes(300000);
  const std::uint32_t whole = crc32_bytewise(0, data.data(), data.size());
  // Pieces that end inside blocks, on block edges and just past them.
  const std::size_t pieces[] = {1, 3, 15, 16, 17, 63, 64, 65, 255, 256, 257, 4093, 65537, 0};
  std::uint32_t crc = 0;
  std::size_t done = 0;
  for (std::size_t i = 0; done < data.size(); ++i) {
    std::size_t size = std::min(pieces[i % std::size(pieces)], data.size() - done);
    crc = update(crc, data.data() + done, size);
    done += size;
  }
  EXPECT_EQ(crc, whole);
}

INSTANTIATE_TEST_SUITE_P(Available, Crc32KernelTest, ::testing::ValuesIn(available_crc32_kernels()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Crc32KernelsTest, PortableKernelAlwaysThereAndChosenOneLast) {
  std::vector<Crc32Kernel> kernels = available_crc32_kernels();
  ASSERT_FALSE(kernels.empty());
  EXPECT_EQ(kernels.front().update, &crc32_slice16);
  std::vector<unsigned char> data = random_bytes(10000);
  EXPECT_EQ(crc32_update(0, data.data(), data.size()),
            kernels.back().update(0, data.data(), data.size()));
}

// The checksum register after `message`, from a register of 0: the message
// times x^32 modulo P.
std::uint32_t register_after(const std::vector<unsigned char>& message) {
  return ~crc32_bytewise(~0u, message.data(), message.size());
}

// The folding constants are powers of x modulo P. The checksum register of a
// message holding a single 1 bit, from a register of 0, is x^(d+32) mod P for
// the bit's degree d, so the table path confirms each power independently.
TEST(Crc32MathTest, PowersOfXAgreeWithTheChecksum) {
  for (unsigned n = 0; n < 32; ++n) EXPECT_EQ(crc32_math::x_power(n), 0x80000000u >> n) << n;
  for (unsigned n = 32; n <= 2100; ++n) {
    unsigned degree = n - 32;
    std::vector<unsigned char> message(degree / 8 + 1, 0);
    // The first byte's lowest bit is the message's highest power of x.
    message[0] = static_cast<unsigned char>(1u << (7 - degree % 8));
    ASSERT_EQ(crc32_math::x_power(n), register_after(message)) << "x^" << n;
  }
}

// The carry-less product of two 64-bit values, as PCLMULQDQ forms it, in
// memory order.
std::vector<unsigned char> carryless_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  for (int i = 0; i < 64; ++i) {
    if ((b >> i & 1) == 0) continue;
    low ^= a << i;
    if (i > 0) high ^= a >> (64 - i);
  }
  std::vector<unsigned char> bytes;
  for (std::uint64_t half : {low, high}) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(half >> (8 * i)));
  }
  return bytes;
}

// The claim the folding kernels rest on: multiplying 64 message bits A by
// fold_constant(n) gives a 128-bit block congruent to A * x^(n+32), which is
// what A followed by n + 32 zero bits leaves in the register.
TEST(Crc32MathTest, FoldConstantsCarryDataForward) {
  std::mt19937_64 generator(5);
  for (unsigned distance : {128u, 512u, 2048u}) {
    const crc32_math::FoldPair pair = crc32_math::fold_pair(distance);
    const struct {
      unsigned n;
      std::uint64_t constant;
    } rows[] = {{distance + 32, pair.first}, {distance - 32, pair.last}};
    for (const auto& row : rows) {
      for (int sample = 0; sample < 20; ++sample) {
        std::uint64_t a = generator();
        std::vector<unsigned char> moved = carryless_product(a, row.constant);
        std::vector<unsigned char> a_then_zeros = carryless_product(a, 1);
        a_then_zeros.resize(8 + (row.n + 32) / 8, 0);
        ASSERT_EQ(register_after(moved), register_after(a_then_zeros)) << "x^" << row.n;
      }
    }
  }
}

}  // namespace
}  // namespace kuvo
