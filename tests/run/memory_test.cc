#include "run/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>

namespace kuvo {
namespace {

TEST(MemoryDeathTest, FailedAllocationEndsTheRunWithStatus255) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports impossible allocations itself";
#else
  EXPECT_EXIT(
      {
        install_out_of_memory_handler();
        volatile std::size_t size = SIZE_MAX / 2;  // no machine has this much
        char* p = new char[size];
        p[0] = 1;
      },
      ::testing::ExitedWithCode(255), "^Virtual memory exceeded in `new'\n$");
#endif
}

}  // namespace
}  // namespace kuvo
