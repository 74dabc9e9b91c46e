#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "dsplib/NDSP.h"

namespace quellmarin {
namespace {

struct Moments {
  double Mean = 0, Variance = 0, Min = 0, Max = 0;
};

Moments MomentsOf(const std::vector<float>& x) {
  Moments m;
  m.Min = m.Max = x.at(0);
  for (float v : x) {
    m.Mean += v;
    m.Min = std::min<double>(m.Min, v);
    m.Max = std::max<double>(m.Max, v);
  }
  m.Mean /= static_cast<double>(x.size());
  for (float v : x) m.Variance += (v - m.Mean) * (v - m.Mean);
  m.Variance /= static_cast<double>(x.size() - 1);
  return m;
}

std::vector<float> Uniform(float Seed, float Low, float High, int N) {
  TRandUniState s;
  nspsRandUniInit(Seed, Low, High, &s);
  std::vector<float> x(static_cast<size_t>(N));
  nspsbRandUni(&s, x.data(), N);
  return x;
}

std::vector<float> Gauss(float Seed, float Mean, float StdDev, int N) {
  TRandGausState s;
  nspsRandGausInit(Seed, Mean, StdDev, &s);
  std::vector<float> x(static_cast<size_t>(N));
  nspsbRandGaus(&s, x.data(), N);
  return x;
}

constexpr int kMany = 200000;

TEST(RandomUniform, StaysBetweenBoundsWithFlatMoments) {
  struct Case { float Low, High; };
  for (Case c : {Case{-1, 1}, Case{0.5f, 3.0f}, Case{2, -2}, Case{-0.1f, -0.05f}}) {
    SCOPED_TRACE(testing::Message() << c.Low << " .. " << c.High);
    const Moments m = MomentsOf(Uniform(0.3f, c.Low, c.High, kMany));
    const double lo = std::min(c.Low, c.High), hi = std::max(c.Low, c.High);
    const double span = hi - lo;
    EXPECT_GE(m.Min, lo);
    EXPECT_LE(m.Max, hi);
    EXPECT_LT(m.Min, lo + 0.001 * span);  // the whole range is reached
    EXPECT_GT(m.Max, hi - 0.001 * span);
    EXPECT_NEAR(m.Mean, (lo + hi) / 2, 0.01 * span);
    EXPECT_NEAR(m.Variance, span * span / 12, 0.02 * span * span / 12);
  }
}

TEST(RandomUniform, EqualBoundsGiveThatValue) {
  for (float v : Uniform(0.1f, 0.7f, 0.7f, 100)) EXPECT_EQ(v, 0.7f);
}

TEST(RandomGauss, MeanDeviationAndShape) {
  struct Case { float Mean, StdDev; };
  for (Case c : {Case{0, 1}, Case{-1, 0.1f}, Case{2.5f, 3}, Case{0, -2}}) {
    SCOPED_TRACE(testing::Message() << c.Mean << " sd " << c.StdDev);
    const std::vector<float> x = Gauss(0.7f, c.Mean, c.StdDev, kMany);
    const Moments m = MomentsOf(x);
    const double sd = std::fabs(c.StdDev);
    EXPECT_NEAR(m.Mean, c.Mean, 0.01 * sd);
    EXPECT_NEAR(std::sqrt(m.Variance), sd, 0.01 * sd);
    int within1 = 0, within2 = 0;
    for (float v : x) {
      ASSERT_TRUE(std::isfinite(v));
      within1 += std::fabs(v - c.Mean) <= sd;
      within2 += std::fabs(v - c.Mean) <= 2 * sd;
    }
    EXPECT_NEAR(within1 / double(kMany), 0.6827, 0.005);
    EXPECT_NEAR(within2 / double(kMany), 0.9545, 0.003);
  }
}

TEST(RandomSeed, SameSeedSameSequenceAndTheTenSeedsDiffer) {
  EXPECT_EQ(Uniform(0.4f, -1, 1, 1000), Uniform(0.4f, -1, 1, 1000));
  EXPECT_EQ(Gauss(0.4f, 0, 1, 1001), Gauss(0.4f, 0, 1, 1001));
  EXPECT_EQ(Uniform(0.0f, -1, 1, 10), Uniform(-0.0f, -1, 1, 10));

  std::set<std::vector<float>> uni, gau;
  for (int r = 0; r <= 9; ++r) {
    uni.insert(Uniform(r / 10.0f, -1, 1, 16));
    gau.insert(Gauss(r / 10.0f, 0, 1, 16));
  }
  EXPECT_EQ(uni.size(), 10u);
  EXPECT_EQ(gau.size(), 10u);
}

TEST(RandomSeed, BlocksContinueOneSequenceAndInitRestartsIt) {
  const std::vector<float> whole = Gauss(0.2f, 1, 2, 300);
  const std::vector<float> wholeUni = Uniform(0.2f, 1, 2, 300);
  TRandGausState g;
  TRandUniState u;
  nspsRandGausInit(0.2f, 1, 2, &g);
  nspsRandUniInit(0.2f, 1, 2, &u);
  std::vector<float> parts(300), partsUni(300);
  // Odd block sizes split the Gaussian pairs across calls.
  for (auto [from, n] : {std::pair{0, 99}, {99, 1}, {100, 200}}) {
    nspsbRandGaus(&g, parts.data() + from, n);
    nspsbRandUni(&u, partsUni.data() + from, n);
  }
  EXPECT_EQ(parts, whole);
  EXPECT_EQ(partsUni, wholeUni);

  // Initialising again, even after an odd count, starts the sequence afresh.
  nspsRandGausInit(0.2f, 1, 2, &g);
  std::vector<float> again(300);
  nspsbRandGaus(&g, again.data(), 300);
  EXPECT_EQ(again, whole);
}

TEST(RandomBlock, EmptyOrMissingBlocksWriteNothing) {
  std::vector<float> x(4, 42.0f);
  TRandUniState u;
  TRandGausState g;
  nspsRandUniInit(0.5f, 0, 1, &u);
  nspsRandGausInit(0.5f, 0, 1, &g);
  for (int32_t n : {0, -5}) {
    nspsbRandUni(&u, x.data(), n);
    nspsbRandGaus(&g, x.data(), n);
  }
  nspsbRandUni(nullptr, x.data(), 4);
  nspsbRandGaus(nullptr, x.data(), 4);
  nspsbRandUni(&u, nullptr, 4);
  nspsbRandGaus(&g, nullptr, 4);
  nspsRandUniInit(0.5f, 0, 1, nullptr);
  nspsRandGausInit(0.5f, 0, 1, nullptr);
  EXPECT_EQ(x, std::vector<float>(4, 42.0f));
}

}  // namespace
}  // namespace quellmarin
