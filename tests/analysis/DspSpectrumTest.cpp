#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <random>
#include <thread>
#include <vector>

#include "analysis/Dsp.h"

namespace quellmarin {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Direct evaluation of X_k = sum_j u_j e^{sign 2 pi i jk/N} in double precision.
std::vector<std::complex<double>> DirectDft(const std::vector<double>& re, const std::vector<double>& im,
                                            int sign) {
  const size_t n = re.size();
  std::vector<double> c(n), s(n);
  for (size_t j = 0; j < n; ++j) {
    c[j] = std::cos(2.0 * kPi * static_cast<double>(j) / static_cast<double>(n));
    s[j] = sign * std::sin(2.0 * kPi * static_cast<double>(j) / static_cast<double>(n));
  }
  std::vector<std::complex<double>> x(n);
  for (size_t k = 0; k < n; ++k) {
    std::complex<double> sum = 0.0;
    for (size_t j = 0; j < n; ++j) {
      const size_t r = (j * k) % n;
      sum += std::complex<double>(re[j], im[j]) * std::complex<double>(c[r], s[r]);
    }
    x[k] = sum;
  }
  return x;
}

std::vector<float> RandomSamples(int count, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(static_cast<size_t>(count));
  for (float& x : v) x = dist(gen);
  return v;
}

// Worst error of the packed output against the packed reference, relative to
// the reference's largest element.
double RelativeError(const std::vector<double>& expected, const float* got) {
  double largest = 0.0, worst = 0.0;
  for (double e : expected) largest = std::max(largest, std::fabs(e));
  for (size_t i = 0; i < expected.size(); ++i)
    worst = std::max(worst, std::fabs(expected[i] - static_cast<double>(got[i])));
  return worst / largest;
}

// Float rounding through log2(N) stages of butterflies.
double Tolerance(int total) { return std::log2(static_cast<double>(total)) * FLT_EPSILON; }

TEST(DspRealFFT, MatchesDirectTransformInEveryPackedElementForEveryPowerOfTwo) {
  for (int total = 2; total <= 4096; total *= 2) {
    SCOPED_TRACE(total);
    const int n = total / 2;
    const std::vector<float> u = RandomSamples(total, static_cast<unsigned>(total));
    std::vector<double> re(u.begin(), u.end()), im(u.size(), 0.0);
    const auto x = DirectDft(re, im, +1);

    // Packed: [X_0, X_n, Re X_1, Im X_1, ..., Re X_{n-1}, Im X_{n-1}].
    std::vector<double> packed(static_cast<size_t>(total));
    packed[0] = x[0].real();
    packed[1] = x[static_cast<size_t>(n)].real();
    for (int k = 1; k < n; ++k) {
      packed[2 * k] = x[static_cast<size_t>(k)].real();
      packed[2 * k + 1] = x[static_cast<size_t>(k)].imag();
    }

    std::vector<float> data(static_cast<size_t>(total) + 1, 0.0f);
    data[0] = 123.0f;  // element 0 is outside the block
    std::copy(u.begin(), u.end(), data.begin() + 1);
    RealFFT(data.data(), n, +1);
    EXPECT_EQ(data[0], 123.0f);
    EXPECT_LE(RelativeError(packed, data.data() + 1), Tolerance(total));
  }
}

TEST(DspRealFFT, InverseOfPackedOutputGivesSamplesTimesN) {
  for (int total : {2, 4, 16, 2048}) {
    SCOPED_TRACE(total);
    const int n = total / 2;
    const std::vector<float> u = RandomSamples(total, 7);
    std::vector<float> data(static_cast<size_t>(total) + 1, 0.0f);
    std::copy(u.begin(), u.end(), data.begin() + 1);
    RealFFT(data.data(), n, +1);
    RealFFT(data.data(), n, -1);
    for (int j = 0; j < total; ++j) EXPECT_NEAR(data[static_cast<size_t>(j) + 1], n * u[static_cast<size_t>(j)], n * 1e-5);
  }
}

TEST(DspComplexFFT, MatchesDirectTransformInBothDirections) {
  for (int sign : {+1, -1}) {
    for (int nn : {1, 2, 8, 512}) {
      SCOPED_TRACE(testing::Message() << "sign " << sign << " nn " << nn);
      const std::vector<float> z = RandomSamples(2 * nn, static_cast<unsigned>(nn + sign));
      std::vector<double> re(static_cast<size_t>(nn)), im(static_cast<size_t>(nn));
      for (int j = 0; j < nn; ++j) {
        re[static_cast<size_t>(j)] = z[2 * static_cast<size_t>(j)];
        im[static_cast<size_t>(j)] = z[2 * static_cast<size_t>(j) + 1];
      }
      const auto x = DirectDft(re, im, sign);
      std::vector<double> expected;
      for (const auto& v : x) {
        expected.push_back(v.real());
        expected.push_back(v.imag());
      }
      std::vector<float> data(static_cast<size_t>(2 * nn) + 1, 0.0f);
      std::copy(z.begin(), z.end(), data.begin() + 1);
      ComplexFFT(data.data(), nn, sign);
      EXPECT_LE(RelativeError(expected, data.data() + 1), Tolerance(2 * nn));
    }
  }
}

// Each thread keeps its own transform plans: threads transforming blocks of
// the same and of other lengths at once get what one thread alone gets.
TEST(DspRealFFT, ThreadsTransformingAtOnceGetWhatOneThreadGets) {
  struct TJob {
    int Total;
    std::vector<float> Input, Expected, Got;
  };
  std::vector<TJob> jobs;
  for (int total : {2048, 2048, 64, 4096}) {
    TJob j{total, std::vector<float>(static_cast<size_t>(total) + 1, 0.0f), {}, {}};
    const std::vector<float> u = RandomSamples(total, static_cast<unsigned>(jobs.size() + 1));
    std::copy(u.begin(), u.end(), j.Input.begin() + 1);
    j.Expected = j.Input;
    RealFFT(j.Expected.data(), total / 2, +1);
    jobs.push_back(std::move(j));
  }
  std::vector<std::thread> threads;
  for (TJob& j : jobs)
    threads.emplace_back([&j] {
      for (int round = 0; round < 50; ++round) {
        j.Got = j.Input;
        RealFFT(j.Got.data(), j.Total / 2, +1);
        if (j.Got != j.Expected) return;
      }
    });
  for (std::thread& t : threads) t.join();
  for (const TJob& j : jobs) EXPECT_EQ(j.Got, j.Expected) << j.Total;
}

// Window -> FFT -> unpack -> magnitude and phase -> correction, as the
// analysis chains them, for a 0-based block.
void AmplitudeSpectrum(std::vector<float> block, TTimeWindow window, std::vector<float>& amplitude,
                       std::vector<float>& phase) {
  const int n = static_cast<int>(block.size());
  const int m = n / 2;
  block.resize(static_cast<size_t>(n) + 5);
  ApplyWindow(window, n, block.data());
  ShiftByOne(n, block.data());
  RealFFT(block.data(), m, +1);
  amplitude.assign(static_cast<size_t>(m) + 1, -1.0f);
  phase.assign(static_cast<size_t>(m) + 1, -1.0f);
  UnpackSpectrum(m, block.data(), amplitude.data(), phase.data());
  MagnitudePhase(m, amplitude.data(), phase.data());
  WindowCorrection(m, window, amplitude.data());
}

TEST(DspSpectrumChain, SineOnABinReadsItsAmplitudeAndConstantReadsTwiceInBinZero) {
  std::vector<float> sine(2048);
  for (size_t j = 0; j < sine.size(); ++j) sine[j] = static_cast<float>(std::sin(2.0 * kPi * 100.0 * j / 2048.0));
  std::vector<float> a, f;
  for (TTimeWindow w : {wtRectangular, wtHanning}) {
    AmplitudeSpectrum(sine, w, a, f);
    EXPECT_NEAR(a[100], 1.0f, 1e-5) << w;
    EXPECT_EQ(a[1024], -1.0f) << "spare element untouched";
  }
  // The positive exponent turns cos(2 pi kj/N + 30 deg) into a phase of -30.
  std::vector<float> cosine(2048);
  for (size_t j = 0; j < cosine.size(); ++j)
    cosine[j] = static_cast<float>(0.5 * std::cos(2.0 * kPi * 100.0 * j / 2048.0 + kPi / 6.0));
  AmplitudeSpectrum(cosine, wtRectangular, a, f);
  EXPECT_NEAR(a[100], 0.5f, 1e-5);
  EXPECT_NEAR(f[100], -30.0f, 1e-3);

  AmplitudeSpectrum(std::vector<float>(64, 0.75f), wtRectangular, a, f);
  EXPECT_FLOAT_EQ(a[0], 1.5f);
  EXPECT_FLOAT_EQ(f[0], 0.0f);
  for (int k = 1; k < 32; ++k) EXPECT_NEAR(a[static_cast<size_t>(k)], 0.0f, 1e-6) << k;
}

TEST(DspWindows, WeightsOfShortBlocks) {
  struct Case {
    TTimeWindow window;
    std::vector<float> weights;
  };
  const Case cases[] = {
      {wtRectangular, {1, 1, 1, 1}},
      {wtHanning, {0, 0.5f, 1, 0.5f}},
      {wtHamming, {0.08f, 0.54f, 1, 0.54f}},
      {wtBartlet, {0, 0.5f, 1, 0.5f}},
      {wtBlackman, {0, 0.34f, 1, 0.34f}},
      {wtFlatTop, {-0.0417934f, 0.0830240f, 1.0000010f, 0.0830240f}},
      {wtExponent, {1, 0.01f}},
      {wtExponent, {1, 0.1f, 0.01f}},
      {wtExponent, {1}},  // a single sample keeps its value instead of turning NaN
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "window " << c.window << " n " << c.weights.size());
    const int n = static_cast<int>(c.weights.size());
    std::vector<float> x(c.weights.size() + 1, 2.0f);
    ApplyWindow(c.window, n, x.data());
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[static_cast<size_t>(i)], 2.0f * c.weights[static_cast<size_t>(i)], 1e-6) << i;
    EXPECT_EQ(x[static_cast<size_t>(n)], 2.0f) << "element n untouched";
  }
}

TEST(DspWindows, CorrectionIsTheReciprocalOfTheMeanWeight) {
  const int n = 2048;
  for (TTimeWindow w : {wtRectangular, wtHanning, wtHamming, wtFlatTop, wtBartlet, wtBlackman}) {
    std::vector<float> x(n + 1, 1.0f);
    ApplyWindow(w, n, x.data());
    double mean = 0.0;
    for (int i = 0; i < n; ++i) mean += x[static_cast<size_t>(i)];
    mean /= n;
    float k = 1.0f;
    WindowCorrection(1, w, &k);
    EXPECT_NEAR(k * mean, 1.0, 1e-6) << w;
    EXPECT_EQ(k, static_cast<float>(1.0 / (w == wtRectangular ? 1.0 : mean))) << "32-bit constant, window " << w;
  }
  float k = 1.0f;
  WindowCorrection(1, wtExponent, &k);
  EXPECT_EQ(k, 2.5583262f);
}

TEST(DspMagnitudePhase, TwoQuadrantPhaseInDegrees) {
  struct Case {
    float re, im, magnitude, phase;
  };
  const Case cases[] = {{0, 3, 3, 90},          {1, 1, std::sqrt(2.0f), 45}, {-1, 1, std::sqrt(2.0f), -45},
                        {3, -4, 5, -53.130102f}, {-2, 0, 2, 0},               {0, 0, 0, 90}};
  std::vector<float> a, b;
  for (const Case& c : cases) {
    a.push_back(c.re);
    b.push_back(c.im);
  }
  MagnitudePhase(static_cast<int>(a.size()), a.data(), b.data());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_FLOAT_EQ(a[i], cases[i].magnitude) << i;
    EXPECT_FLOAT_EQ(b[i], cases[i].phase) << i;
  }
}

TEST(DspDecibels, FloorsOfBothScales) {
  struct Case {
    TLogType type;
    float span, ref;
    std::vector<float> in, out;
  };
  const Case cases[] = {
      {ltAbsolute, 120, 10, {10, 1, 0, 1e-7f, 100}, {0, -20, -120, -120, 20}},
      {ltRelative, 60, 10, {10, 0.1f, 0.001f, 0}, {20, -20, -40, -40}},
      // An all-zero spectrum has no level to measure the depth from.
      {ltRelative, 60, 0, {0, 1, 1e-4f}, {-60, 0, -60}},
      // Values without a real logarithm read the floor rather than NaN.
      {ltAbsolute, 90, 1, {-1, 0.5f}, {-90, -6.0206f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " span " << c.span << " ref " << c.ref);
    std::vector<float> x = c.in;
    ToDecibels(static_cast<int>(x.size()), x.data(), c.span, c.ref, c.type);
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], c.out[i], 1e-4) << i;
  }
}

TEST(DspConversions, RmsPowerScaleAndSubtract) {
  std::vector<float> x = {1, 2, -3};
  DivideBySqrt2(3, x.data());
  EXPECT_EQ(x[0], 0.70710677f);
  x = {1, 2, -3};
  SquareValues(3, x.data());
  EXPECT_EQ(x, (std::vector<float>{1, 4, 9}));
  ScaleValues(2, x.data(), 0.5f);
  EXPECT_EQ(x, (std::vector<float>{0.5f, 2, 9}));
  SubtractValue(3, x.data(), 1.0f);
  EXPECT_EQ(x, (std::vector<float>{-0.5f, 1, 8}));
  SubtractValue(0, x.data(), 1.0f);
  ScaleValues(-1, x.data(), 0.0f);
  EXPECT_EQ(x, (std::vector<float>{-0.5f, 1, 8}));
}

TEST(DspHelpers, MeanExtremesCopyAndShift) {
  EXPECT_EQ(MeanValue(0, nullptr), 0.0f);
  const float third[] = {1, 2, 3, 6};
  EXPECT_FLOAT_EQ(MeanValue(4, third), 3.0f);
  // The sum is a 32-bit float rounded after every addition: the ones vanish.
  const float big[] = {16777216.0f, 1, 1, 1, 1};
  EXPECT_EQ(MeanValue(5, big), static_cast<float>(16777216.0 / 5));

  const float equal[] = {4, 4, 4};
  EXPECT_EQ(FindMax(3, equal), 4.0f);
  EXPECT_EQ(FindMin(3, equal), 4.0f);
  const float mixed[] = {2, -7, 9, 9, -7, 1};
  EXPECT_EQ(FindMax(6, mixed), 9.0f);
  EXPECT_EQ(FindMin(6, mixed), -7.0f);
  EXPECT_EQ(FindMax(0, mixed), 2.0f);
  EXPECT_EQ(FindMin(-1, mixed), 2.0f);

  std::vector<float> v = {1, 2, 3, 4, 99};
  ShiftByOne(4, v.data());
  EXPECT_EQ(v, (std::vector<float>{1, 1, 2, 3, 4}));
  std::vector<float> dst(5, 0);
  CopyValues(4, v.data(), dst.data());
  EXPECT_EQ(dst, (std::vector<float>{1, 1, 2, 3, 0}));
}

}  // namespace
}  // namespace quellmarin
