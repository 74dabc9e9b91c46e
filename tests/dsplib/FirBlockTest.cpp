#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "Noise.h"
#include "dsplib/NDSP.h"

namespace quellmarin {
namespace {

using testing::Noise;

// Taps as the Kaiser designs come out (mirrored about taps / 2), or not.
std::vector<float> Taps(int taps, bool symmetric, unsigned seed) {
  auto h = Noise(static_cast<size_t>(taps), seed);
  if (symmetric)
    for (int k = 1; taps / 2 + k < taps; ++k) h[static_cast<size_t>(taps / 2 - k)] = h[static_cast<size_t>(taps / 2 + k)];
  return h;
}

// Float rounding relative to the signal level: inputs within +-1, so an
// output is at most the sum of the taps' magnitudes.
double Tolerance(const std::vector<float>& h) {
  double s = 0.0;
  for (float t : h) s += std::fabs(t);
  return 2e-6 * s;
}

// Parameter: tap count, wide kernels, symmetric taps.
class FirBlockPath : public ::testing::TestWithParam<std::tuple<int, bool, bool>> {
protected:
  void SetUp() override {
    auto [taps, wide, symmetric] = GetParam();
    fir_detail::SetWideKernelAllowed(wide);
    fir_detail::SetBlockPath(fir_detail::bpFft);
    h = Taps(taps, symmetric, static_cast<unsigned>(taps));
  }
  void TearDown() override {
    fir_detail::SetWideKernelAllowed(true);
    fir_detail::SetBlockPath(fir_detail::bpByCost);
  }

  // Runs x through State in the given pieces: a negative piece -k is k
  // single-sample calls, a positive one a block call (in place).
  static std::vector<float> Run(TFirState& State, const std::vector<float>& x, const std::vector<int>& Pieces) {
    std::vector<float> y(x);
    size_t at = 0;
    for (int piece : Pieces) {
      if (piece < 0) {
        for (int i = 0; i < -piece; ++i, ++at) y[at] = nspsFir(&State, x[at]);
      } else {
        EXPECT_EQ(nspsbFir(&State, y.data() + at, y.data() + at, piece), piece);
        at += static_cast<size_t>(piece);
      }
    }
    EXPECT_EQ(at, x.size());
    return y;
  }

  void ExpectSameStream(const std::vector<float>& Got, const std::vector<float>& Expected, const char* What) {
    ASSERT_EQ(Got.size(), Expected.size());
    const double tol = Tolerance(h);
    for (size_t i = 0; i < Got.size(); ++i)
      ASSERT_NEAR(Got[i], Expected[i], tol) << What << ", sample " << i << " of " << h.size() << " taps";
  }

  std::vector<float> h;
};

// Single samples before and after, several consecutive blocks of the engine's
// size, a short block, a one-sample block and one long enough for several
// segments: one continuous stream, as one nspsFir call per sample gives.
TEST_P(FirBlockPath, BlocksAndSingleSamplesFormOneStream) {
  const std::vector<int> pieces{-3, 2000, 2000, 2000, -5, 700, 1, 9000, -40};
  int total = 0;
  for (int p : pieces) total += std::abs(p);
  const auto x = Noise(static_cast<size_t>(total), 11u);

  TFirState bySample, mixed;
  nspsFirInit(h.data(), static_cast<int32_t>(h.size()), nullptr, &bySample);
  nspsFirInit(h.data(), static_cast<int32_t>(h.size()), nullptr, &mixed);
  const auto expected = Run(bySample, x, {-total});
  ExpectSameStream(Run(mixed, x, pieces), expected, "mixed run");

  // A redesign starts afresh: the old history is gone.
  const auto h2 = Taps(static_cast<int>(h.size()) + 7, false, 99u);
  nspsFirInit(h2.data(), static_cast<int32_t>(h2.size()), nullptr, &bySample);
  nspsFirInit(h2.data(), static_cast<int32_t>(h2.size()), nullptr, &mixed);
  const auto x2 = Noise(4003, 12u);
  const auto expected2 = Run(bySample, x2, {-4003});
  ExpectSameStream(Run(mixed, x2, {2000, -3, 2000}), expected2, "after re-initialisation");
}

// Preceding inputs given at the initialisation are the history of the first
// block, as they are of the first single sample.
TEST_P(FirBlockPath, InitialDelayValuesAreTheFirstBlocksHistory) {
  const auto dly = Noise(h.size(), 13u);
  const auto x = Noise(2000, 14u);
  TFirState bySample, byBlock;
  nspsFirInit(h.data(), static_cast<int32_t>(h.size()), dly.data(), &bySample);
  nspsFirInit(h.data(), static_cast<int32_t>(h.size()), dly.data(), &byBlock);
  ExpectSameStream(Run(byBlock, x, {2000}), Run(bySample, x, {-2000}), "with delay values");
}

INSTANTIATE_TEST_SUITE_P(TapCounts, FirBlockPath,
                         ::testing::Combine(::testing::Values(fir_detail::kFftMinTaps, 40, 146, 600, 2049, 4097, 5000),
                                            ::testing::Bool(), ::testing::Bool()));

// The path chosen by cost gives the same stream as the forced direct one, for
// short and long filters and for blocks of every size the cost model weighs.
TEST(FirBlockPathChoice, ByCostMatchesDirect) {
  for (int taps : {1, 8, 146, 5000}) {
    const auto h = Taps(taps, true, 3u);
    const auto x = Noise(6100, 4u);
    for (int block : {1, 16, 100, 2000, 6100}) {
      TFirState a, b;
      nspsFirInit(h.data(), taps, nullptr, &a);
      nspsFirInit(h.data(), taps, nullptr, &b);
      std::vector<float> ya(x.size()), yb(x.size());
      fir_detail::SetBlockPath(fir_detail::bpDirect);
      for (size_t i = 0; i < x.size(); i += static_cast<size_t>(block))
        nspsbFir(&a, x.data() + i, ya.data() + i, static_cast<int>(std::min<size_t>(block, x.size() - i)));
      fir_detail::SetBlockPath(fir_detail::bpByCost);
      for (size_t i = 0; i < x.size(); i += static_cast<size_t>(block))
        nspsbFir(&b, x.data() + i, yb.data() + i, static_cast<int>(std::min<size_t>(block, x.size() - i)));
      for (size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(yb[i], ya[i], Tolerance(h)) << taps << " taps, blocks of " << block << ", sample " << i;
      // Both leave the same history behind.
      EXPECT_NEAR(nspsFir(&a, 0.5f), nspsFir(&b, 0.5f), Tolerance(h));
    }
  }
}

}  // namespace
}  // namespace quellmarin
