#include "fileset/keyed_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace kuvo {
namespace {

// The reference vectors of SipHash-2-4: key bytes 0 to 15, message bytes 0 to
// n - 1; every length up to 16 crosses the word and tail paths.
TEST(KeyedHashTest, ReferenceVectors) {
  HashKey key{0x0706050403020100u, 0x0f0e0d0c0b0a0908u};
  std::string message;
  for (int n = 0; n < 16; ++n) message += static_cast<char>(n);
  EXPECT_EQ(keyed_hash(key, std::string_view(message).substr(0, 0)), 0x726fdb47dd0e0e31u);
  EXPECT_EQ(keyed_hash(key, std::string_view(message).substr(0, 1)), 0x74f839c593dc67fdu);
  EXPECT_EQ(keyed_hash(key, std::string_view(message).substr(0, 8)), 0x93f5f5799a932462u);
  EXPECT_EQ(keyed_hash(key, std::string_view(message).substr(0, 15)), 0xa129ca6149be45e5u);
}

// SipHash-1-3 as other implementations give it, under the all-zero key.
TEST(KeyedHashTest, TableHashIsSipHashOneThree) {
  const HashKey zero{0, 0};
  EXPECT_EQ(table_hash(zero, ""), 0xd1fba762150c532cu);
  EXPECT_EQ(table_hash(zero, "siphash"), 0x8264ceeccb16bcbeu);
}

TEST(KeyedHashTest, OneKeyPerRunAndTheHashDependsOnIt) {
  EXPECT_EQ(&run_hash_key(), &run_hash_key());
  const HashKey other{run_hash_key().k0 ^ 1, run_hash_key().k1};
  EXPECT_NE(keyed_hash(run_hash_key(), "a.rar"), keyed_hash(other, "a.rar"));
  EXPECT_NE(table_hash(run_hash_key(), "a.rar"), table_hash(other, "a.rar"));
}

}  // namespace
}  // namespace kuvo
