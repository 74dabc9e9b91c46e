#include "dsplib/Random.h"

#include <bit>
#include <cmath>
#include <numbers>

namespace quellmarin {

namespace {

// The engine's seed is the float's bit pattern, so that every distinct seed
// (0.0, 0.1, ... 0.9 among them) starts a distinct sequence.
uint32_t EngineSeed(float Seed) {
  if (Seed == 0.0f) Seed = 0.0f;  // -0.0 and 0.0 give the same sequence
  return std::bit_cast<uint32_t>(Seed);
}

constexpr double kTwoToMinus32 = 1.0 / 4294967296.0;

// Uniform in [0, 1).
double Canonical(std::mt19937& Engine) { return static_cast<double>(Engine()) * kTwoToMinus32; }

// Uniform in (0, 1]: safe for a logarithm.
double OpenAtZero(std::mt19937& Engine) {
  return (static_cast<double>(Engine()) + 1.0) * kTwoToMinus32;
}

}  // namespace

void nspsRandUniInit(float Seed, float Low, float High, TRandUniState* State) {
  if (State == nullptr) return;
  State->Engine.seed(EngineSeed(Seed));
  State->Low = Low;
  State->High = High;
}

void nspsbRandUni(TRandUniState* State, float* Samples, int32_t Length) {
  if (State == nullptr || Samples == nullptr) return;
  const double low = State->Low;
  const double span = static_cast<double>(State->High) - low;
  for (int32_t i = 0; i < Length; ++i)
    Samples[i] = static_cast<float>(low + span * Canonical(State->Engine));
}

void nspsRandGausInit(float Seed, float Mean, float StdDev, TRandGausState* State) {
  if (State == nullptr) return;
  State->Engine.seed(EngineSeed(Seed));
  State->Mean = Mean;
  State->StdDev = StdDev;
  State->HasSpare = false;
  State->Spare = 0.0;
}

void nspsbRandGaus(TRandGausState* State, float* Samples, int32_t Length) {
  if (State == nullptr || Samples == nullptr) return;
  const double mean = State->Mean;
  const double sd = std::fabs(static_cast<double>(State->StdDev));
  for (int32_t i = 0; i < Length; ++i) {
    double z;
    if (State->HasSpare) {
      z = State->Spare;
      State->HasSpare = false;
    } else {
      // Box-Muller: two independent standard normal values from two uniforms.
      const double radius = std::sqrt(-2.0 * std::log(OpenAtZero(State->Engine)));
      const double angle = 2.0 * std::numbers::pi * Canonical(State->Engine);
      z = radius * std::cos(angle);
      State->Spare = radius * std::sin(angle);
      State->HasSpare = true;
    }
    Samples[i] = static_cast<float>(mean + sd * z);
  }
}

}  // namespace quellmarin
