#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "Noise.h"
#include "dsplib/NDSP.h"

namespace quellmarin {
namespace {

using testing::Noise;

// Straight from the definition, in double: zero-stuff by Up (input at position
// UpPhase of each group), convolve, keep the outputs with u mod Down == DownPhase.
std::vector<double> Reference(const std::vector<float>& h, const std::vector<float>& x, int up, int upPhase,
                              int down, int downPhase) {
  std::vector<double> v(x.size() * static_cast<size_t>(up), 0.0);
  for (size_t j = 0; j < x.size(); ++j) v[j * up + upPhase] = x[j];
  std::vector<double> y;
  for (size_t u = 0; u < v.size(); ++u) {
    if (static_cast<int>(u % down) != downPhase) continue;
    double s = 0.0;
    for (size_t k = 0; k < h.size() && k <= u; ++k) s += h[k] * v[u - k];
    y.push_back(s);
  }
  return y;
}

// Tolerance for float rounding: a few ulps of the sum of absolute products.
double Tolerance(const std::vector<float>& h) {
  double s = 0.0;
  for (float t : h) s += std::fabs(t);
  return 1e-6 * s + 1e-7;
}

// Feeds x through the state in a fixed irregular pattern of blocks and single
// samples, so every run crosses block boundaries in both directions.
std::vector<float> MixedRun(TFirState& st, const std::vector<float>& x) {
  static const int kChunks[] = {1, 7, 1, 1, 64, 3, 1, 200, 1, 33};
  std::vector<float> out;
  std::vector<float> buf(4096);
  size_t i = 0;
  for (int c = 0; i < x.size(); ++c) {
    const int chunk = std::min<int>(kChunks[c % 10], static_cast<int>(x.size() - i));
    if (chunk == 1 && st.UpFactor() == 1 && st.DownFactor() == 1) {
      out.push_back(nspsFir(&st, x[i]));
    } else {
      EXPECT_LE(static_cast<size_t>(st.MaxOutputs(chunk)), buf.size());
      const int n = nspsbFir(&st, x.data() + i, buf.data(), chunk);
      EXPECT_LE(n, st.MaxOutputs(chunk));
      out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    i += static_cast<size_t>(chunk);
  }
  return out;
}

// Taps mirrored about index taps / 2 (the first tap of an even count stays
// unmatched), as the Kaiser designs come out.
std::vector<float> SymmetricTaps(int taps, unsigned seed) {
  auto h = Noise(static_cast<size_t>(taps), seed);
  const int c = taps / 2;
  for (int k = 1; c + k < taps; ++k) h[static_cast<size_t>(c - k)] = h[static_cast<size_t>(c + k)];
  return h;
}

// Parameter: tap count, whether the wide vector kernel may be used, whether
// the taps are symmetric.
class FirSingleRate : public ::testing::TestWithParam<std::tuple<int, bool, bool>> {
protected:
  void TearDown() override { fir_detail::SetWideKernelAllowed(true); }
};

TEST_P(FirSingleRate, MixedBlocksAndSamplesMatchDirectConvolution) {
  const int taps = std::get<0>(GetParam());
  fir_detail::SetWideKernelAllowed(std::get<1>(GetParam()));
  const auto h = std::get<2>(GetParam()) ? SymmetricTaps(taps, 1u + static_cast<unsigned>(taps))
                                         : Noise(static_cast<size_t>(taps), 1u + static_cast<unsigned>(taps));
  const auto x = Noise(static_cast<size_t>(taps) * 2 + 700, 99u);
  TFirState st;
  nspsFirInit(h.data(), taps, nullptr, &st);
  const auto y = MixedRun(st, x);
  const auto ref = Reference(h, x, 1, 0, 1, 0);
  ASSERT_EQ(y.size(), ref.size());
  const double tol = Tolerance(h);
  for (size_t n = 0; n < y.size(); ++n) ASSERT_NEAR(y[n], ref[n], tol) << "sample " << n;
  nspFirFree(&st);
}

INSTANTIATE_TEST_SUITE_P(TapCounts, FirSingleRate,
                         ::testing::Combine(::testing::Values(1, 2, 15, 16, 17, 31, 33, 64, 65, 66, 146, 147,
                                                              600, 5000),
                                            ::testing::Bool(), ::testing::Bool()));

TEST(Fir, DelayValuesStartTheSymmetricPathToo) {
  for (int taps : {146, 147}) {
    const auto h = SymmetricTaps(taps, 21u);
    const auto dly = Noise(static_cast<size_t>(taps), 22u);
    const auto x = Noise(400, 23u);
    TFirState st;
    nspsFirInit(h.data(), taps, dly.data(), &st);
    // The same stream with the delay values as leading inputs, oldest first.
    std::vector<float> longer(dly.rbegin(), dly.rend());
    longer.insert(longer.end(), x.begin(), x.end());
    const auto ref = Reference(h, longer, 1, 0, 1, 0);
    for (size_t n = 0; n < x.size(); ++n) ASSERT_NEAR(nspsFir(&st, x[n]), ref[n + static_cast<size_t>(taps)], Tolerance(h)) << taps;
  }
}

TEST(Fir, DirectBlockAndSampleFilteringGiveTheSameStream) {
  fir_detail::SetBlockPath(fir_detail::bpDirect);
  const auto h = SymmetricTaps(600, 5u);
  const auto x = Noise(5000, 6u);
  TFirState bySample, mixed, byBlock;
  nspsFirInit(h.data(), 600, nullptr, &bySample);
  nspsFirInit(h.data(), 600, nullptr, &mixed);
  nspsFirInit(h.data(), 600, nullptr, &byBlock);
  std::vector<float> a, c(x.size());
  for (float v : x) a.push_back(nspsFir(&bySample, v));
  const auto b = MixedRun(mixed, x);
  for (size_t i = 0; i < x.size(); i += 2000)
    nspsbFir(&byBlock, x.data() + i, c.data() + i, static_cast<int>(std::min<size_t>(2000, x.size() - i)));
  // One kernel serves both, so the streams agree to the bit.
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  fir_detail::SetBlockPath(fir_detail::bpByCost);
}

TEST(Fir, InPlaceBlockFiltering) {
  const auto h = Noise(37, 7u);
  auto x = Noise(300, 8u);
  TFirState a, b;
  nspsFirInit(h.data(), 37, nullptr, &a);
  nspsFirInit(h.data(), 37, nullptr, &b);
  std::vector<float> expected(x.size());
  nspsbFir(&a, x.data(), expected.data(), 300);
  EXPECT_EQ(nspsbFir(&b, x.data(), x.data(), 300), 300);
  EXPECT_EQ(x, expected);
}

TEST(Fir, DelayValuesAreTheNewestInputsFirstAndReinitClearsHistory) {
  const float h[] = {1.0f, 10.0f, 100.0f};
  const float dly[] = {2.0f, 3.0f, 4.0f};
  TFirState st;
  nspsFirInit(h, 3, dly, &st);
  EXPECT_FLOAT_EQ(nspsFir(&st, 1.0f), 1.0f + 10.0f * 2.0f + 100.0f * 3.0f);
  EXPECT_FLOAT_EQ(nspsFir(&st, 0.0f), 10.0f * 1.0f + 100.0f * 2.0f);
  nspsFirInit(h, 3, nullptr, &st);
  EXPECT_FLOAT_EQ(nspsFir(&st, 0.0f), 0.0f);
  EXPECT_FLOAT_EQ(nspsFir(&st, 1.0f), 1.0f);
  EXPECT_FLOAT_EQ(nspsFir(&st, 0.0f), 10.0f);
}

struct MrCase {
  int Taps, Up, UpPhase, Down, DownPhase;
};

class FirMultiRate : public ::testing::TestWithParam<MrCase> {};

TEST_P(FirMultiRate, StreamMatchesZeroStuffFilterAndPick) {
  const MrCase c = GetParam();
  const auto h = Noise(static_cast<size_t>(c.Taps), 11u);
  const auto x = Noise(997, 12u);
  TFirState st;
  nspsFirInitMr(h.data(), c.Taps, nullptr, c.Up, c.UpPhase, c.Down, c.DownPhase, &st);
  const auto y = MixedRun(st, x);
  const auto ref = Reference(h, x, c.Up, c.UpPhase, c.Down, c.DownPhase);
  ASSERT_EQ(y.size(), ref.size());
  const double tol = Tolerance(h);
  for (size_t n = 0; n < y.size(); ++n) ASSERT_NEAR(y[n], ref[n], tol) << "output " << n;
}

INSTANTIATE_TEST_SUITE_P(Rates, FirMultiRate,
                         ::testing::Values(MrCase{40, 1, 0, 2, 0}, MrCase{40, 1, 0, 2, 1}, MrCase{41, 3, 0, 1, 0},
                                           MrCase{41, 3, 2, 1, 0}, MrCase{146, 3, 1, 2, 1},
                                           MrCase{146, 2, 1, 3, 2}, MrCase{5, 4, 3, 4, 3}, MrCase{1, 5, 2, 7, 6},
                                           MrCase{600, 2, 0, 1, 0}));

TEST(Fir, MultiRateSingleSamplesHoldTheLastOutput) {
  // Decimation by 2 with phase 0: even inputs produce an output, odd ones hold it.
  const float h[] = {1.0f, 0.5f};
  TFirState st;
  nspsFirInitMr(h, 2, nullptr, 1, 0, 2, 0, &st);
  EXPECT_FLOAT_EQ(nspsFir(&st, 2.0f), 2.0f);
  EXPECT_FLOAT_EQ(nspsFir(&st, 4.0f), 2.0f);
  EXPECT_FLOAT_EQ(nspsFir(&st, 6.0f), 6.0f + 2.0f);
  // Interpolation by 2, phase 0: the second output of each input (the odd phase) is returned.
  nspsFirInitMr(h, 2, nullptr, 2, 0, 1, 0, &st);
  EXPECT_FLOAT_EQ(nspsFir(&st, 2.0f), 1.0f);
  EXPECT_FLOAT_EQ(nspsFir(&st, 4.0f), 2.0f);
}

TEST(Fir, BadInitialisationThrowsAndLeavesTheStateRunning) {
  const auto h = Noise(20, 3u);
  TFirState st, twin;
  nspsFirInit(h.data(), 20, nullptr, &st);
  nspsFirInit(h.data(), 20, nullptr, &twin);
  for (int i = 0; i < 10; ++i) nspsFir(&st, 1.0f), nspsFir(&twin, 1.0f);
  const float one = 1.0f;
  EXPECT_THROW(nspsFirInit(h.data(), 0, nullptr, &st), std::invalid_argument);
  EXPECT_THROW(nspsFirInit(nullptr, 3, nullptr, &st), std::invalid_argument);
  EXPECT_THROW(nspsFirInit(&one, 1, nullptr, nullptr), std::invalid_argument);
  EXPECT_THROW(nspsFirInitMr(h.data(), 20, nullptr, 0, 0, 1, 0, &st), std::invalid_argument);
  EXPECT_THROW(nspsFirInitMr(h.data(), 20, nullptr, 2, 2, 1, 0, &st), std::invalid_argument);
  EXPECT_THROW(nspsFirInitMr(h.data(), 20, nullptr, 1, 0, 3, -1, &st), std::invalid_argument);
  EXPECT_THROW(nspsFirInitMr(h.data(), 5000, nullptr, 1 << 30, 0, 1, 0, &st), std::length_error);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(nspsFir(&st, 0.25f), nspsFir(&twin, 0.25f));
}

TEST(Fir, EmptyStateFiltersToSilence) {
  TFirState st;
  EXPECT_EQ(nspsFir(&st, 1.0f), 0.0f);
  float in[4] = {1, 2, 3, 4}, out[4] = {9, 9, 9, 9};
  EXPECT_EQ(nspsbFir(&st, in, out, 4), 4);
  for (float v : out) EXPECT_EQ(v, 0.0f);
  const float h = 2.0f;
  nspsFirInit(&h, 1, nullptr, &st);
  EXPECT_EQ(nspsFir(&st, 1.5f), 3.0f);
  nspFirFree(&st);
  nspFirFree(&st);
  EXPECT_EQ(nspsFir(&st, 1.0f), 0.0f);
  EXPECT_EQ(nspsbFir(&st, in, out, 0), 0);
  EXPECT_EQ(nspsbFir(nullptr, in, out, 4), 0);
}

}  // namespace
}  // namespace quellmarin

namespace quellmarin {
namespace {

// Filters at and just beyond the longest transform: the one with an FFT path
// and the one without both filter correctly, whichever path is asked for. A
// tap at each end shows the output: the first tap passes the input, the last
// one reaches no input yet.
TEST(Fir, FiltersAtTheFftLengthLimit) {
  for (const int32_t len : {fir_detail::kFftMaxTaps, fir_detail::kFftMaxTaps + 1}) {
    SCOPED_TRACE(len);
    std::vector<float> h(static_cast<size_t>(len), 0.0f);
    h.front() = 1.0f;
    h.back() = 0.5f;
    TFirState st;
    ASSERT_NO_THROW(nspsFirInit(h.data(), len, nullptr, &st));
    EXPECT_EQ(st.FFft != nullptr, len <= fir_detail::kFftMaxTaps);
    // One block by FFT where there is a path, one by cost (directly here).
    for (const auto path : {fir_detail::bpFft, fir_detail::bpByCost}) {
      const auto x = Noise(64, 11u + path);
      std::vector<float> y(x.size());
      fir_detail::SetBlockPath(path);
      const int32_t n = nspsbFir(&st, x.data(), y.data(), static_cast<int32_t>(x.size()));
      fir_detail::SetBlockPath(fir_detail::bpByCost);
      ASSERT_EQ(n, static_cast<int32_t>(x.size()));
      for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(y[i], x[i], 1e-3f) << "output " << i;
    }
  }
  // Beyond the initialisation's storage limit the filter is refused.
  const float one = 1.0f;
  TFirState st;
  EXPECT_THROW(nspsFirInit(&one, std::numeric_limits<int32_t>::max(), nullptr, &st), std::length_error);
}

}  // namespace
}  // namespace quellmarin
