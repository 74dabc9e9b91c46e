#pragma once
// Uniform and Gaussian random numbers for the signal generator's noise.
//
// A generator state is initialised from a 32-bit float seed and the two
// parameters of its distribution, then fills blocks of floats. The same seed
// and parameters always give the same sequence, on every platform: the engine
// is the Mersenne Twister of <random>, whose output the standard fixes, and
// the conversion to the distributions is done here rather than by the
// standard library's distributions, whose algorithms vary between libraries.
//
// The states hold no resources and need no release. A state is not shared
// between threads; initialising and filling allocate nothing.

#include <cstdint>
#include <random>

namespace quellmarin {

// Uniform generator state: values between Low and High.
struct TRandUniState {
  std::mt19937 Engine;
  float Low = 0.0f;
  float High = 1.0f;
};

// Gaussian generator state: normally distributed values with mean Mean and
// standard deviation StdDev. Values are made in pairs; the second waits in
// Spare.
struct TRandGausState {
  std::mt19937 Engine;
  float Mean = 0.0f;
  float StdDev = 1.0f;
  bool HasSpare = false;
  double Spare = 0.0;
};

// Prepares State to yield values uniformly distributed between Low and High
// (either may be the larger; Low == High yields that value).
void nspsRandUniInit(float Seed, float Low, float High, TRandUniState* State);
// Writes Length uniform values to Samples[0 .. Length - 1]. Nothing happens
// for a null state or buffer or a Length of 0 or less.
void nspsbRandUni(TRandUniState* State, float* Samples, int32_t Length);

// Prepares State to yield normally distributed values with the given mean and
// standard deviation (a negative deviation acts as its magnitude).
void nspsRandGausInit(float Seed, float Mean, float StdDev, TRandGausState* State);
// Writes Length Gaussian values to Samples[0 .. Length - 1]. Nothing happens
// for a null state or buffer or a Length of 0 or less.
void nspsbRandGaus(TRandGausState* State, float* Samples, int32_t Length);

}  // namespace quellmarin
