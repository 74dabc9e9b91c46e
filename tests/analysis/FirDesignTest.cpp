#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "analysis/Dsp.h"

namespace quellmarin {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(FirDesignKernels, BesselI0MatchesTheLibraryFunction) {
  EXPECT_EQ(BesselI0(0.0f), 1.0f);
  for (float x : {0.5f, 1.0f, 3.0f, 5.65326f, 10.0f, 15.57f, -4.0f})
    EXPECT_NEAR(BesselI0(x), std::cyl_bessel_i(0.0, std::fabs(x)), 2e-6 * std::cyl_bessel_i(0.0, std::fabs(x))) << x;
  // Overflow and NaN end the series instead of looping.
  EXPECT_TRUE(std::isinf(BesselI0(1000.0f)));
  EXPECT_TRUE(std::isnan(BesselI0(std::numeric_limits<float>::quiet_NaN())));
}

TEST(FirDesignKernels, KaiserBetaRows) {
  struct Row {
    float A, Beta;
  } rows[] = {
      {60.0f, 5.65326f},
      {50.0f, static_cast<float>(0.5842 * std::pow(29.0, 0.4) + 0.07886 * 29.0)},
      {50.5f, static_cast<float>(0.1102 * (50.5 - 8.7))},
      {30.0f, static_cast<float>(0.5842 * std::pow(9.0, 0.4) + 0.07886 * 9.0)},
      {21.0f, 0.0f},
      {20.0f, 0.0f},
      {150.0f, static_cast<float>(0.1102 * 141.3)},
  };
  for (const Row& r : rows) EXPECT_FLOAT_EQ(KaiserBeta(r.A), r.Beta) << r.A;
}

TEST(FirDesignKernels, KaiserLengthRows) {
  struct Row {
    float Lower, Upper, FN, Ripple;
    int32_t N;
  } rows[] = {
      {1250.0f, 1750.0f, 10000.0f, 0.001f, 146},  // raw 144.88
      {1250.0f, 1260.0f, 10000.0f, 0.001f, 7244},  // raw 7243.8: far above 5000, returned unlimited
      {0.0f, 1000.0f, 10000.0f, 0.01f, 46},        // raw 44.58 -> 45 -> even 46
      {0.0f, 2000.0f, 10000.0f, 0.5f, 0},          // A = 6.02 dB < 8: raw -1.38 -> -1 -> 0
      {0.0f, 10.0f, 10000.0f, 0.9f, -986},         // A = 0.92 dB: raw -986.9 -> -987 -> -986
  };
  for (const Row& r : rows) {
    const int32_t n = KaiserLength(r.Lower, r.Upper, r.FN, r.Ripple);
    EXPECT_EQ(n, r.N) << r.Lower << ".." << r.Upper << " ripple " << r.Ripple;
    EXPECT_EQ(n % 2, 0);
  }
}

TEST(FirDesignKernels, KaiserLengthFailuresThrow) {
  EXPECT_THROW(KaiserLength(0, 100, 10000, 0.0f), std::domain_error);
  EXPECT_THROW(KaiserLength(0, 100, 10000, -0.1f), std::domain_error);
  EXPECT_THROW(KaiserLength(0, 100, 10000, std::numeric_limits<float>::quiet_NaN()), std::domain_error);
  EXPECT_THROW(KaiserLength(0, 100, 0, 0.001f), std::domain_error);
  EXPECT_THROW(KaiserLength(100, 100, 10000, 0.001f), std::domain_error);
  EXPECT_THROW(KaiserLength(0, 1e-6f, 10000, 0.001f), std::range_error);
}

// Taps written by one design, the rest of the array holding a sentinel.
std::vector<float> Design(int32_t n, float e1, float e2, float e3, float e4, float ripple, TFilterType t,
                          size_t room = 0) {
  std::vector<float> taps(std::max<size_t>(room, static_cast<size_t>(std::max(n, 0))) + 4, -7.0f);
  KaiserFirDesign(n, taps.data(), e1, e2, e3, e4, 10000.0f, ripple, t);
  return taps;
}

TEST(FirDesignKernels, SingleTapIsTheCentreTap) {
  // Cut-offs W1 = 0.125 and W2 = 0.175.
  struct Row {
    TFilterType Type;
    float Tap;
  } rows[] = {{ftLowPass, 0.125f}, {ftHighPass, 0.875f}, {ftBandPass, 0.05f}, {ftBandStop, 0.95f}};
  for (const Row& r : rows) {
    const auto taps = Design(1, 1000.0f, 1500.0f, 1500.0f, 2000.0f, 0.001f, r.Type);
    EXPECT_FLOAT_EQ(taps[0], r.Tap) << r.Type;
    EXPECT_EQ(taps[1], -7.0f);
  }
}

TEST(FirDesignKernels, TwoTapsSitAtOffsetsMinusOneAndZero) {
  const auto taps = Design(2, 1000.0f, 1500.0f, 0, 0, 0.001f, ftLowPass);
  const double w1 = 0.125;
  EXPECT_FLOAT_EQ(taps[1], 0.125f);
  // Offset -1 lies at the window's end, weight I0(0) / I0(beta).
  EXPECT_FLOAT_EQ(taps[0], static_cast<float>(std::sin(-kPi * w1) / -kPi / BesselI0(5.65326f)));
  EXPECT_EQ(taps[2], -7.0f);
}

TEST(FirDesignKernels, LowPassIsSymmetricAboutItsCentre) {
  const auto taps = Design(146, 1250.0f, 1750.0f, 0, 0, 0.001f, ftLowPass);
  const int m = 73;
  EXPECT_FLOAT_EQ(taps[m], 0.15f);
  for (int k = 1; k < m; ++k) EXPECT_EQ(taps[m + k], taps[m - k]) << k;
  EXPECT_EQ(taps[146], -7.0f);
  // An odd length gives the symmetric range -M .. M.
  const auto odd = Design(147, 1250.0f, 1750.0f, 0, 0, 0.001f, ftLowPass);
  for (int k = 1; k <= m; ++k) EXPECT_EQ(odd[m + k], odd[m - k]) << k;
}

TEST(FirDesignKernels, LowAttenuationGivesARectangularWindow) {
  // Ripple 0.1 is 20 dB: beta 0, every weight 1, the taps are the ideal response.
  const auto taps = Design(20, 2000.0f, 3000.0f, 0, 0, 0.1f, ftHighPass);
  const double w1 = 0.25;
  for (int i = 0; i < 20; ++i) {
    const int k = i - 10;
    const double ideal = k == 0 ? 1.0 - w1 : -std::sin(kPi * w1 * k) / (kPi * k);
    EXPECT_FLOAT_EQ(taps[static_cast<size_t>(i)], static_cast<float>(ideal)) << k;
  }
}

TEST(FirDesignKernels, NothingWrittenForNoTapsOrAnUnknownType) {
  for (int32_t n : {0, -3}) {
    const auto taps = Design(n, 1000, 1500, 0, 0, 0.001f, ftLowPass);
    for (float t : taps) EXPECT_EQ(t, -7.0f);
  }
  const auto taps = Design(10, 1000, 1500, 0, 0, 0.001f, static_cast<TFilterType>(4), 10);
  for (float t : taps) EXPECT_EQ(t, -7.0f);
}

TEST(FirDesignKernels, FailingDesignsThrowAndWriteNoTap) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Row {
    float E1, E2, FN, Ripple;
  } rows[] = {
      {1000, 1500, 10000, 0.0f}, {1000, 1500, 10000, -1.0f}, {1000, 1500, 10000, nan},
      {1000, 1500, 0.0f, 0.001f}, {nan, 1500, 10000, 0.001f}, {1000, 1500, 10000, 1e-45f},  // window overflows
  };
  for (const Row& r : rows) {
    std::vector<float> taps(16, -7.0f);
    EXPECT_ANY_THROW(KaiserFirDesign(16, taps.data(), r.E1, r.E2, 0, 0, r.FN, r.Ripple, ftLowPass));
    for (float t : taps) EXPECT_EQ(t, -7.0f);
  }
}

}  // namespace
}  // namespace quellmarin
