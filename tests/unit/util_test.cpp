#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "byte_text.h"
#include "util/hex.h"
#include "util/small_vec.h"
#include "util/utf8.h"

using tvis::test::hex_bytes;

TEST(Utf8, StrictValidation) {
  struct Case {
    const char* bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"41 42 43", true},
      {"C2 80", true},                  // U+0080
      {"DF BF", true},                  // U+07FF
      {"E0 A0 80", true},               // U+0800
      {"ED 9F BF", true},               // U+D7FF, just below the surrogates
      {"EE 80 80", true},               // U+E000, just above them
      {"EF BF BF", true},               // U+FFFF
      {"F0 90 80 80", true},            // U+10000
      {"F4 8F BF BF", true},            // U+10FFFF
      {"C0 80", false},                 // overlong NUL
      {"C1 BF", false},                 // overlong
      {"E0 9F BF", false},              // overlong three-byte form
      {"F0 8F BF BF", false},           // overlong four-byte form
      {"ED A0 80", false},              // U+D800
      {"ED BF BF", false},              // U+DFFF
      {"F4 90 80 80", false},           // above U+10FFFF
      {"F5 80 80 80", false},
      {"FF", false},
      {"80", false},                    // lone continuation
      {"C2", false},                    // truncated
      {"E2 82", false},                 // truncated
      {"C2 41", false},                 // continuation missing
      {"E2 28 A1", false},
      {"F0 90 80 41", false},
      // Past the first eight ASCII bytes, where whole blocks are skipped.
      {"41 41 41 41 41 41 41", true},
      {"41 41 41 41 41 41 41 41 41 41 41 41 41 41 41", true},
      {"41 41 41 41 41 41 41 41 41 C3 A9", true},
      {"41 41 41 41 41 41 41 41 41 C3", false},
      {"41 41 41 41 41 41 41 41 80 41 41 41 41 41 41 41", false},
      {"41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 FF", false},
  };
  for (const Case& c : cases) {
    // A heap block of exactly the text's length: the sanitizer build flags
    // any read past the end by the block-wise ASCII skip.
    const auto bytes = hex_bytes(c.bytes);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    EXPECT_EQ(tvis::is_valid_utf8(exact.get(), bytes.size()), c.valid) << c.bytes;
  }
}

TEST(Hex, UpperCaseFixedWidth) {
  EXPECT_EQ(tvis::hex_u16(0x00FF), "0x00FF");
  EXPECT_EQ(tvis::hex_u16(0x4B37), "0x4B37");
  EXPECT_EQ(tvis::hex_u16(0), "0x0000");
  EXPECT_EQ(tvis::hex_u8(0x0A), "0A");
  std::string text = "raw=";
  tvis::append_hex(text, hex_bytes("00 0F F0 AB"));
  tvis::append_hex(text, {});
  EXPECT_EQ(text, "raw=000FF0AB");
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
  auto as_vector = [](const Vec& v) { return std::vector<int>(v.begin(), v.end()); };
  auto expected = [](int n) {
    std::vector<int> out;
    for (int i = 0; i < n; ++i) out.push_back(i * 10);
    return out;
  };

  for (int n : {0, 3, 4, 5, 9, 100}) {
    SCOPED_TRACE(n);
    Vec v = filled(n);
    EXPECT_EQ(as_vector(v), expected(n));
    EXPECT_EQ(v.empty(), n == 0);

    Vec copy(v);
    EXPECT_EQ(as_vector(copy), expected(n));
    EXPECT_TRUE(copy == v);

    Vec assigned = filled(7);
    assigned = v;
    EXPECT_EQ(as_vector(assigned), expected(n));
    Vec shrunk = filled(2);
    shrunk = v;
    EXPECT_EQ(as_vector(shrunk), expected(n));

    Vec moved(std::move(copy));
    EXPECT_EQ(as_vector(moved), expected(n));
    EXPECT_TRUE(copy.empty());
    // A moved-from vector is empty with inline room again, and grows anew.
    for (int i = 0; i < 10; ++i) copy.push_back(i * 10);
    EXPECT_EQ(as_vector(copy), expected(10));

    Vec move_assigned = filled(6);
    move_assigned = std::move(moved);
    EXPECT_EQ(as_vector(move_assigned), expected(n));
    move_assigned.push_back(-1);
    EXPECT_EQ(move_assigned[static_cast<size_t>(n)], -1);

    v.clear();
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v == filled(n), n == 0);
  }
  EXPECT_FALSE(filled(3) == filled(4));
  EXPECT_TRUE((Vec{1, 2, 3, 4, 5}) == (Vec{1, 2, 3, 4, 5}));
}
