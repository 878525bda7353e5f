#include "fileset/growing_array.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace kuvo {
namespace {

// Growth past the C library's threshold for remapping large blocks must keep
// every byte, whatever size the appends come in.
TEST(GrowingArrayTest, KeepsEveryByteAcrossGrowth) {
  GrowingArray<char> text;
  std::string expected;
  for (int i = 0; expected.size() < (std::size_t{3} << 20); ++i) {
    const std::string piece(static_cast<std::size_t>(i % 300), static_cast<char>('a' + i % 26));
    text.append(piece.data(), piece.size());
    expected += piece;
  }
  ASSERT_EQ(text.size(), expected.size());
  EXPECT_EQ(std::string_view(text.data(), text.size()), expected);
  EXPECT_EQ(view_of(text, 1000, 5), expected.substr(1000, 5));
}

// A moved array hands its block over: the source must not free it too.
TEST(GrowingArrayTest, MoveHandsTheBlockOver) {
  GrowingArray<int> values;
  for (int i = 0; i < 1000; ++i) values.push_back(i);
  GrowingArray<int> taken(std::move(values));
  EXPECT_TRUE(values.empty());
  values = std::move(taken);
  ASSERT_EQ(values.size(), 1000u);
  EXPECT_EQ(values[999], 999);
  values.push_back(1000);
  EXPECT_EQ(values[1000], 1000);
}

// Memory that cannot be had ends the run through the handler a failed `new`
// calls, never by writing through a null block.
TEST(GrowingArrayDeathTest, NoMemoryEndsTheRunAsNewDoes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports impossible allocations itself";
#else
  // A block no machine has, which realloc refuses; and a count beyond any block.
  for (const std::size_t wanted : {SIZE_MAX / 16, SIZE_MAX / 2}) {
    EXPECT_EXIT(
        {
          std::set_new_handler([] { _exit(255); });
          GrowingArray<std::uint64_t> values;
          const std::uint64_t value = 1;
          volatile std::size_t count = wanted;
          values.append(&value, count);
        },
        ::testing::ExitedWithCode(255), "");
  }
#endif
}

}  // namespace
}  // namespace kuvo
