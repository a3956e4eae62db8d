// JSON numbers are written exactly as Python's repr writes a float (non-finite
// values as null); the expected texts come from Python itself.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "protocol/json_number.h"

namespace {

std::string render(double v) {
  std::string s;
  tvis::protocol::append_double(s, v);
  return s;
}

TEST(JsonNumber, MatchesPythonRepr) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {0x1.0000000000000p+0, "1.0"}, {0x1.f400000000000p+9, "1000.0"},
      {0x1.e848000000000p+8, "488.28125"}, {0x1.a36e2eb1c432dp-14, "0.0001"},
      {0x1.4f8b588e368f1p-17, "1e-05"}, {0x1.f75104d551d69p-17, "1.5e-05"}, {0x1.1c37937e08000p+53, "1e+16"},
      {0x1.c6bf526340000p+49, "1000000000000000.0"}, {0x1.c12218377de66p+46, "123456789012345.6"},
      {0x1.999999999999ap-4, "0.1"}, {0x1.f400000000000p-2, "0.48828125"},
      {0x1.f400000000000p-5, "0.06103515625"}, {-0x1.1ad9333333333p+11, "-2262.7875"},
      {-0x1.0b07600000000p+11, "-2136.23046875"}, {-0x1.b19e440000000p+14, "-27751.56640625"},
      {0x1.0000000000000p-14, "6.103515625e-05"}, {0x1.8000000000000p-13, "0.00018310546875"},
      {0x1.869ffffffffffp+16, "99999.99999999999"}, {-0x1.e68cf0b820000p+17, "-249113.88061904907"},
      {0x1.0000000000000p+60, "1.152921504606847e+18"}, {0x0.0000000000001p-1022, "5e-324"},
      {0x1.fffffffffffffp+1023, "1.7976931348623157e+308"},
      {0x1.002fa20000000p+9, "512.3721313476562"},  // exact in binary, but seventeen digits long
      {std::numeric_limits<double>::infinity(), "null"}, {-std::numeric_limits<double>::infinity(), "null"},
      {std::nan(""), "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(render(c.value), c.text) << std::hexfloat << c.value;
}

// Most floats of a sensor message are multiples of a small power of two (the
// IMU scales and their products with integer samples); their text is written
// directly from the exact decimal form and must be what the general route
// writes: at every magnitude, sign and denominator, and for the products as
// computed in single precision.
TEST(JsonNumber, DirectRouteMatchesTheGeneralOne) {
  auto both = [](double v) {
    char direct[tvis::protocol::kMaxDoubleText], general[tvis::protocol::kMaxDoubleText];
    return std::pair(std::string(direct, tvis::protocol::write_double(direct, v)),
                     std::string(general, tvis::protocol::write_double_general(general, v)));
  };
  std::mt19937_64 rng(5);
  for (int i = 0; i < 300000; ++i) {
    const int64_t m = static_cast<int64_t>(rng() >> (11 + rng() % 53)) * (rng() % 2 ? 1 : -1);
    const double v = std::ldexp(static_cast<double>(m), -static_cast<int>(rng() % 16));
    const auto [direct, general] = both(v);
    ASSERT_EQ(direct, general) << std::hexfloat << v;
  }
  for (float scale : {0.48828125f, 0.06103515625f, 0.25f, 3.0f}) {
    for (int i = 0; i < 100000; ++i) {
      const float product = scale * static_cast<float>(static_cast<int32_t>(rng()));
      const auto [direct, general] = both(static_cast<double>(product));
      ASSERT_EQ(direct, general) << std::hexfloat << product;
    }
  }
}

}  // namespace
