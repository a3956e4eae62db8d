// The simulated insole's only source of chance: a SplitMix64 stream. It is
// ours rather than <random> because the standard distributions may differ
// between library versions, and a seed must give the same insole everywhere.
#pragma once

#include <cmath>
#include <cstdint>

namespace tvis::sim {

inline uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

class Random {
 public:
  explicit Random(uint64_t seed = 0) : state_(seed) {}

  uint64_t next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // Below n (n > 0).
  uint64_t below(uint64_t n) { return next() % n; }

  // Roughly normal with mean 0 and deviation 1: a sum of four uniforms is
  // close enough for sensor noise and costs no logarithm.
  double noise() { return (uniform() + uniform() + uniform() + uniform() - 2.0) * 1.7320508075688772; }

  bool chance(double p) { return p > 0.0 && uniform() < p; }

 private:
  uint64_t state_;
};

// A value in [0, 1) that depends only on its inputs: per-stride variation must
// be the same for two insoles of one walker, whatever each has drawn before.
inline double hashed_unit(uint64_t seed, uint64_t index) {
  return static_cast<double>(mix64(seed ^ mix64(index)) >> 11) * 0x1.0p-53;
}

}  // namespace tvis::sim
