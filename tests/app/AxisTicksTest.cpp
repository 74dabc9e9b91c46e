// Round tick steps for the charts' axes.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/AxisTicks.h"

namespace quellmarin {
namespace {

TEST(RoundTickStep, OneTwoOrFiveTimesAPowerOfTen) {
  const struct {
    double Span;
    int MaxTicks;
    double Step;
  } Cases[] = {
      {5000, 5, 1000},          // the spectrum's frequency axis
      {5000, 6, 1000},          {10000, 5, 2000},  {12298.7, 5, 5000},  // the 12298.7 peak
      {1, 5, 0.2},              {0.00315228, 5, 0.001},                  // and its 0.00315228
      {130, 6, 50},             {130, 7, 20},      {200, 4, 50},        {201, 4, 100},
      {1000, 5, 200},           {999, 5, 200},     {1001, 5, 500},      // exact multiples stay
      {3, 3, 1},                {7e-9, 7, 1e-9},   {4.2e12, 6, 1e12},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.Span << " / " << C.MaxTicks);
    const double Step = RoundTickStep(C.Span, C.MaxTicks);
    EXPECT_NEAR(Step, C.Step, C.Step * 1e-9);
    EXPECT_LE(C.Span / Step, C.MaxTicks * (1 + 1e-9));
  }
}

TEST(RoundTickStep, NoSpanNoStep) {
  for (double Span : {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")})
    EXPECT_EQ(RoundTickStep(Span, 5), 0) << Span;
  EXPECT_EQ(RoundTickStep(100, 0), 0);
}

}  // namespace
}  // namespace quellmarin
