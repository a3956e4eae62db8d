#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "util/crc32.h"

namespace {

// The byte-at-a-time definition, apart from the sliced tables the header uses.
uint32_t bytewise(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ tvis::kCrc32Table[(crc ^ data[i]) & 0xFF];
  return ~crc;
}

}  // namespace

// Every length around the step sizes (8 for the slices; 16 and 64 for the
// folding), at every alignment, and a chunk-sized input: sliced and folded
// paths give the byte-at-a-time CRC.
TEST(Crc32, SlicedAndFoldedPathsMatchTheDefinition) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(1 << 20);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t len = 0; len <= 300; ++len) {
      const uint8_t* p = data.data() + offset;
      const uint32_t want = bytewise(p, len);
      ASSERT_EQ(tvis::crc32(p, len), want) << offset << "+" << len;
      ASSERT_EQ(tvis::crc32_folded(p, len), want) << offset << "+" << len;
    }
  }
  EXPECT_EQ(tvis::crc32_folded(data.data(), data.size()), bytewise(data.data(), data.size()));
  EXPECT_EQ(tvis::crc32_folded(data.data() + 3, data.size() - 10), bytewise(data.data() + 3, data.size() - 10));
  if (!tvis::crc32_folding_supported()) GTEST_SKIP() << "no carry-less multiply: only the tables were checked";
}
