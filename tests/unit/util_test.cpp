#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_text.h"
#include "util/hex.h"
#include "util/small_vec.h"
#include "util/utf8.h"

using tvis::test::hex_bytes;

TEST(Utf8, StrictValidation) {
  // Range edges, around surrogates, then past the first eight ASCII bytes (where whole blocks are skipped).
  const char* valid[] = {"", "41 42 43", "C2 80", "DF BF", "E0 A0 80", "EF BF BF", "F0 90 80 80", "F4 8F BF BF",
                         "ED 9F BF", "EE 80 80", "41 41 41 41 41 41 41", "41 41 41 41 41 41 41 41 41 41 41 41 41 41 41",
                         "41 41 41 41 41 41 41 41 41 C3 A9"};
  // Overlong, surrogates, above U+10FFFF, truncated or broken sequences, then the same past the ASCII blocks.
  const char* invalid[] = {"C0 80", "C1 BF", "E0 9F BF", "F0 8F BF BF", "ED A0 80", "ED BF BF", "F4 90 80 80",
                           "F5 80 80 80", "FF", "80", "C2", "E2 82", "C2 41", "E2 28 A1", "F0 90 80 41",
                           "41 41 41 41 41 41 41 41 41 C3", "41 41 41 41 41 41 41 41 80 41 41 41 41 41 41 41",
                           "41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 FF"};
  auto check = [](const char* text, bool expected) {
    // An exact-length heap block: the sanitizer build flags a read past its end.
    const auto bytes = hex_bytes(text);
    const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    EXPECT_EQ(tvis::is_valid_utf8(exact.data(), exact.size()), expected) << text;
  };
  for (const char* text : valid) check(text, true);
  for (const char* text : invalid) check(text, false);
}

TEST(Hex, UpperCaseFixedWidth) {
  std::string text = tvis::hex_u16(0x00FF) + tvis::hex_u16(0xAB0C) + tvis::hex_u16(0) + tvis::hex_u8(0x0A) + "=";
  tvis::append_hex(text, hex_bytes("00 0F F0 AB"));
  EXPECT_EQ(text, "0x00FF0xAB0C0x00000A=000FF0AB");
}

// The vector must behave the same whether its elements live inline or on the
// heap, across copies and moves in both states.
TEST(SmallVec, InlineAndSpilledStorage) {
  using Vec = tvis::SmallVec<int, 4>;
  auto filled = [](int n) {
    Vec v;
    for (int i = 0; i < n; ++i) v.push_back(i * 10);
    return v;
  };
  for (int n : {0, 3, 4, 5, 9, 100}) {
    SCOPED_TRACE(n);
    const Vec v = filled(n);
    ASSERT_EQ(v.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(v.begin()[i], i * 10);
    Vec copy(v), bigger = filled(7), smaller = filled(2);
    bigger = v;
    smaller = v;
    EXPECT_TRUE(copy == v && bigger == v && smaller == v && !(v == filled(n + 1)));
    Vec moved(std::move(copy));
    EXPECT_TRUE(moved == v && copy.empty());
    // A moved-from vector has inline room again and grows anew.
    for (int i = 0; i < 10; ++i) copy.push_back(i * 10);
    EXPECT_TRUE(copy == filled(10));
    bigger = std::move(moved);
    bigger.push_back(-1);
    EXPECT_TRUE(bigger.size() == static_cast<size_t>(n + 1) && bigger[static_cast<size_t>(n)] == -1);
  }
}
