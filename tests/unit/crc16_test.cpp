#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/crc16.h"

using namespace tvis::protocol;

namespace {

using Crc16Fn = uint16_t (*)(const uint8_t*, size_t, uint16_t);

struct Path {
  const char* name;
  Crc16Fn fn;
  bool available;
};

std::vector<Path> paths() {
  return {{"chosen", [](const uint8_t* d, size_t n, uint16_t c) { return crc16_modbus(d, n, c); }, true},
          {"sliced", crc16_modbus_sliced, true},
          {"folded", crc16_modbus_folded, crc16_folding_supported()}};
}

}  // namespace

TEST(Crc16, CheckValueAndEmptyInputOnEveryPath) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc16_modbus_bytewise(check, sizeof check), 0x4B37);
  for (const Path& p : paths()) {
    if (!p.available) continue;
    EXPECT_EQ(p.fn(check, sizeof check, kCrc16Init), 0x4B37) << p.name;
    EXPECT_EQ(p.fn(nullptr, 0, kCrc16Init), 0xFFFF) << p.name;
  }
}

// Every fast path must agree with the one-table reference on every length
// and alignment: the tails shorter than one step, the lengths around the
// folding thresholds (32, 128 and each further 64 bytes), long runs, and
// any starting value, as a CRC continued over a second buffer has.
TEST(Crc16, FastPathsMatchTheTableOnRandomLengthsAndAlignments) {
  std::mt19937 rng(1234);
  std::vector<uint8_t> data(4096 + 64);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (const Path& p : paths()) {
    if (!p.available) {
      std::printf("[ SKIPPED  ] %s path: not supported by this CPU\n", p.name);
      continue;
    }
    for (int trial = 0; trial < 3000; ++trial) {
      const size_t offset = rng() % 64;
      const size_t len = trial < 300 ? static_cast<size_t>(trial) : rng() % 4096;
      const uint16_t seed = static_cast<uint16_t>(trial % 3 == 0 ? 0xFFFF : rng());
      ASSERT_EQ(p.fn(data.data() + offset, len, seed), crc16_modbus_bytewise(data.data() + offset, len, seed))
          << p.name << " path, offset " << offset << " len " << len << " seed " << seed;
    }
  }
}

// Bit patterns a random buffer rarely holds: all ones and single set bits
// reach every fold constant.
TEST(Crc16, FastPathsMatchTheTableOnSparseAndDenseBlocks) {
  for (const Path& p : paths()) {
    if (!p.available) continue;
    std::vector<uint8_t> ones(300, 0xFF);
    ASSERT_EQ(p.fn(ones.data(), ones.size(), kCrc16Init), crc16_modbus_bytewise(ones.data(), ones.size())) << p.name;
    for (size_t bit = 0; bit < 200 * 8; bit += 7) {
      std::vector<uint8_t> sparse(200, 0);
      sparse[bit / 8] = static_cast<uint8_t>(1u << (bit % 8));
      ASSERT_EQ(p.fn(sparse.data(), sparse.size(), 0), crc16_modbus_bytewise(sparse.data(), sparse.size(), 0))
          << p.name << " path, bit " << bit;
    }
  }
}
