#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "dsplib/Fft.h"

namespace quellmarin {
namespace {

// Parameter: length N, wide kernels.
class RealFftTest : public ::testing::TestWithParam<std::tuple<int, bool>> {
protected:
  void SetUp() override {
    std::tie(N, wide) = GetParam();
    if (wide && !(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))) GTEST_SKIP() << "no AVX2/FMA";
    fft.Init(N, wide);
    std::mt19937 gen(static_cast<unsigned>(N));
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    u.resize(static_cast<size_t>(N));
    for (float& x : u) x = dist(gen);
    const int n = N / 2;
    re.assign(static_cast<size_t>(n), 0.0f);
    im.assign(static_cast<size_t>(n), 0.0f);
    for (int k = 0; k < n; ++k) {
      re[k] = u[2 * k];
      im[k] = u[2 * k + 1];
    }
    xr.assign(static_cast<size_t>(fft.SpectrumFloats()), 0.0f);
    xi.assign(static_cast<size_t>(fft.SpectrumFloats()), 0.0f);
  }
  int N = 0;
  bool wide = false;
  TRealFft fft;
  std::vector<float> u, re, im, xr, xi;
};

TEST_P(RealFftTest, ForwardIsTwiceTheDft) {
  fft.Forward(re.data(), im.data(), xr.data(), xi.data());
  const int n = N / 2;
  std::vector<double> c(static_cast<size_t>(N)), s(static_cast<size_t>(N));
  for (int j = 0; j < N; ++j) {
    c[j] = std::cos(2.0 * M_PI * j / N);
    s[j] = -std::sin(2.0 * M_PI * j / N);
  }
  // Every bin of the short lengths; of the long ones the edges and a spread.
  const int step = N <= 2048 ? 1 : 97;
  double worst = 0.0;
  for (int k = 0; k <= n; k = (k + step > n && k < n) ? n : k + step) {
    double sr = 0.0, si = 0.0;
    for (int j = 0; j < N; ++j) {
      const int64_t at = int64_t(j) * k % N;
      sr += u[j] * c[at];
      si += u[j] * s[at];
    }
    worst = std::max({worst, std::fabs(xr[k] - 2 * sr), std::fabs(xi[k] - 2 * si)});
  }
  // Error of a float FFT grows with log N; the bins are of order sqrt(N).
  EXPECT_LT(worst, 2e-6 * std::sqrt(double(N)) * std::log2(double(N))) << "N=" << N;
}

TEST_P(RealFftTest, InverseUndoesForward) {
  fft.Forward(re.data(), im.data(), xr.data(), xi.data());
  std::vector<float> br(re.size()), bi(im.size());
  const auto xr0 = xr, xi0 = xi;
  fft.Inverse(xr.data(), xi.data(), br.data(), bi.data());
  EXPECT_EQ(xr, xr0);  // inputs untouched
  EXPECT_EQ(xi, xi0);
  double worst = 0.0;
  for (int k = 0; k < N / 2; ++k)
    worst = std::max({worst, std::fabs(br[k] / (2.0 * N) - re[k]), std::fabs(bi[k] / (2.0 * N) - im[k])});
  EXPECT_LT(worst, 1e-6 * std::log2(double(N)));
}

INSTANTIATE_TEST_SUITE_P(Lengths, RealFftTest,
                         ::testing::Combine(::testing::Values(2, 4, 8, 16, 32, 64, 128, 256, 512, 2048, 8192, 32768), ::testing::Bool()));

TEST(RealFft, RejectsLengthsItCannotPlan) {
  TRealFft fft;
  for (int n : {0, 1, 100, 1 << 23}) EXPECT_THROW(fft.Init(n, false), std::invalid_argument) << n;
  EXPECT_EQ(fft.Length(), 0);
}

}  // namespace
}  // namespace quellmarin
