#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/crc16.h"

using namespace tvis::protocol;

TEST(Crc16, CheckValueAndEmptyInput) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc16_modbus(check, sizeof check), 0x4B37);
  EXPECT_EQ(crc16_modbus_bytewise(check, sizeof check), 0x4B37);
  EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);
}

// The sixteen-byte fast path must agree with the one-table reference on every
// length and alignment, including the tails shorter than one step.
TEST(Crc16, FastPathMatchesReferenceOnRandomLengthsAndAlignments) {
  std::mt19937 rng(1234);
  std::vector<uint8_t> data(4096 + 32);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (int trial = 0; trial < 2000; ++trial) {
    size_t offset = rng() % 32;
    size_t len = trial < 200 ? static_cast<size_t>(trial) : rng() % 4096;
    uint16_t seed = static_cast<uint16_t>(trial % 3 == 0 ? 0xFFFF : rng());
    ASSERT_EQ(crc16_modbus(data.data() + offset, len, seed), crc16_modbus_bytewise(data.data() + offset, len, seed))
        << "offset " << offset << " len " << len;
  }
}
