#pragma once
// Uniform noise in [-1, 1], the same for the same seed: input and taps for the
// filtering tests.

#include <random>
#include <vector>

namespace quellmarin::testing {

inline std::vector<float> Noise(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

}  // namespace quellmarin::testing
