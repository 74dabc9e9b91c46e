// The pipeline health figures from known counters: what the delay adds up,
// whose xruns count and from when, the CPU share over which interval, the
// drift's sign and time base, and the panel's lines for each.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/PipelineHealth.h"

namespace quellmarin {
namespace {

constexpr int64_t Second = 1000000000;

// Thirty seconds into a running loop at 20 kHz with blocks of 2000 frames:
// 300 blocks, the output reserve of 600 frames ahead, the capture device
// 200 frames behind, nothing lost or spliced, 0.6 s of CPU time.
THealthSample Running() {
  THealthSample S;
  S.RunStartNs = 50 * Second;
  S.WallNs = S.RunStartNs + 30 * Second;
  S.Running = true;
  S.Blocks = 300;
  S.Backlog = 600;
  S.BusyNs = 600000000;
  S.CaptureDelayKnown = true;
  S.CaptureDelay = 200;
  S.BlockFrames = 2000;
  S.SampleRate = 20000;
  return S;
}

struct TCase {
  const char* Name;
  // Changes the reading (Now), the one a second before (Before: one second
  // and 50 ms of CPU time earlier) and the drift base (Base: the run's
  // start).
  std::function<void(THealthSample& Now, THealthSample& Before, THealthSample& Base)> Change;
  bool WithBefore;
  THealthText Expected;
};

TEST(PipelineHealth, FiguresFromKnownCounters) {
  const std::string Delay140 = "Input\u2192output delay: 140 ms";
  const std::string Parts140 = "in 10 + block 100 + out 30 ms";
  const std::string NoXruns = "Overruns: 0, underruns: 0";
  const std::string Agree = "Clock drift: 0.0 samples/min";
  const TCase Cases[] = {
      {"steady run, CPU since the start", [](THealthSample&, THealthSample&, THealthSample&) {}, false,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", Agree}},
      {"CPU over the last second", [](THealthSample&, THealthSample&, THealthSample&) {}, true,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 5.0 %", Agree}},
      {"a reading of an earlier run is not an interval",
       [](THealthSample&, THealthSample& B, THealthSample&) { B.RunStartNs -= 30 * Second; }, true,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", Agree}},
      {"capture delay unknown: a lower bound",
       [](THealthSample& N, THealthSample&, THealthSample&) { N.CaptureDelayKnown = false; }, false,
       {"Input\u2192output delay: \u2265 130 ms", "in unknown + block 100 + out 30 ms", NoXruns,
        "Audio path CPU: 2.0 %", Agree}},
      {"the output device holds more: a longer delay",
       [](THealthSample& N, THealthSample&, THealthSample&) { N.Backlog = 4600; }, false,
       {"Input\u2192output delay: 340 ms", "in 10 + block 100 + out 230 ms", NoXruns,
        "Audio path CPU: 2.0 %", Agree}},
      {"xruns since the run started; the loop's dry outputs and restarts are underruns",
       [](THealthSample& N, THealthSample&, THealthSample&) {
         N.Xruns = {5, 7};
         N.XrunsAtStart = {2, 3};
         N.LoopUnderruns = 1;
         N.OutputRestarts = 2;
       },
       false, {Delay140, Parts140, "Overruns: 3, underruns: 7", "Audio path CPU: 2.0 %", Agree}},
      {"padded more than dropped: the output clock is faster",
       [](THealthSample& N, THealthSample&, THealthSample&) {
         N.PaddedFrames = 300;
         N.DroppedFrames = 100;
       },
       false,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", "Clock drift: +400.0 samples/min"}},
      {"dropped more than padded: the output clock is slower; held-back blocks are recorded time",
       [](THealthSample& N, THealthSample&, THealthSample&) {
         N.Blocks = 150;
         N.HeldBack = 150;
         N.DroppedFrames = 25;
       },
       false,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", "Clock drift: -50.0 samples/min"}},
      {"only the splices since the base count, over the time since the base",
       [](THealthSample& N, THealthSample&, THealthSample& B) {
         B.Blocks = 100;
         B.DroppedFrames = 3000;
         N.DroppedFrames = 3020;
       },
       false,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", "Clock drift: -60.0 samples/min"}},
      {"under twenty seconds from the base the drift is still measured",
       [](THealthSample& N, THealthSample&, THealthSample& B) {
         B.Blocks = 101;
         N.PaddedFrames = 800;
       },
       false, {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", "Clock drift: measuring\u2026"}},
      {"a base of another run is no base",
       [](THealthSample&, THealthSample&, THealthSample& B) { B.RunStartNs = 1; }, false,
       {Delay140, Parts140, NoXruns, "Audio path CPU: 2.0 %", "Clock drift: measuring\u2026"}},
      {"a stopped run keeps its figures but has no CPU share",
       [](THealthSample& N, THealthSample&, THealthSample&) { N.Running = false; }, true,
       {Delay140, Parts140, NoXruns, "Audio path CPU: \u2013", Agree}},
      {"a stopped run that measured no drift",
       [](THealthSample& N, THealthSample&, THealthSample& B) {
         N.Running = false;
         B.Blocks = 200;
       },
       true, {Delay140, Parts140, NoXruns, "Audio path CPU: \u2013", "Clock drift: \u2013"}},
      {"no run yet", [](THealthSample& N, THealthSample&, THealthSample&) { N = THealthSample{}; }, false,
       {"Input\u2192output delay: no run yet", "", "Overruns: \u2013, underruns: \u2013", "Audio path CPU: \u2013",
        "Clock drift: \u2013"}},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    THealthSample Now = Running();
    THealthSample Before = Now;
    Before.WallNs -= Second;
    Before.BusyNs -= 50000000;
    THealthSample Base = Now;
    Base.WallNs = Base.RunStartNs;
    Base.Blocks = 0;
    Base.BusyNs = 0;
    C.Change(Now, Before, Base);
    const THealthText T = HealthText(ComputeHealth(Now, C.WithBefore ? &Before : nullptr, &Base));
    EXPECT_EQ(T.Delay, C.Expected.Delay);
    EXPECT_EQ(T.DelayParts, C.Expected.DelayParts);
    EXPECT_EQ(T.Xruns, C.Expected.Xruns);
    EXPECT_EQ(T.Cpu, C.Expected.Cpu);
    EXPECT_EQ(T.Drift, C.Expected.Drift);
  }
}

// The figures themselves where the lines round them: a slow drift over a
// long run, and counters the sound system started again below the run's
// starting point (no wrap to a huge count).
TEST(PipelineHealth, SmallDriftAndRestartedCounters) {
  THealthSample N = Running();
  N.Blocks = 3000;  // five minutes
  N.DroppedFrames = 7;
  N.Xruns = {1, 0};
  N.XrunsAtStart = {4, 2};
  THealthSample Base = N;
  Base.Blocks = 0;
  Base.DroppedFrames = 0;
  const THealthFigures F = ComputeHealth(N, nullptr, &Base);
  EXPECT_TRUE(F.DriftKnown);
  EXPECT_DOUBLE_EQ(F.RecordedSeconds, 300.0);
  EXPECT_DOUBLE_EQ(F.DriftPerMinute, -1.4);
  EXPECT_EQ(HealthText(F).Drift, "Clock drift: -1.4 samples/min");
  EXPECT_EQ(F.Overruns, 1u);
  EXPECT_EQ(F.Underruns, 0u);

  N.DroppedFrames = 0;
  N.PaddedFrames = 0;
  N.SampleRate = 0;  // no format: no delay or drift, and no division by zero
  const THealthFigures G = ComputeHealth(N, nullptr, &Base);
  EXPECT_FALSE(G.DriftKnown);
  EXPECT_EQ(G.DelayMs, 0.0);
}

// The monitor over a run read once a second, with a slow output clock (one
// frame dropped per second, -60 samples/min): the output's settling at the
// start and after an underrun is left out of the drift, and a new run
// starts afresh.
TEST(PipelineHealth, MonitorLeavesTheSettlingOutOfTheDrift) {
  THealthMonitor M;
  THealthSample S = Running();
  auto At = [&](int Seconds, int64_t Settling = 0, uint64_t LoopUnderruns = 0) {
    S.WallNs = S.RunStartNs + Seconds * Second;
    S.Blocks = static_cast<uint64_t>(Seconds) * 10;
    S.BusyNs = static_cast<uint64_t>(Seconds) * 10000000;  // 1 %
    S.DroppedFrames = Seconds + Settling;
    S.LoopUnderruns = LoopUnderruns;
    return M.Update(S);
  };
  // The first five seconds the output settles: 3000 frames are dropped.
  for (int t = 1; t <= 5; ++t) EXPECT_FALSE(At(t, 600 * t).DriftKnown) << t;
  for (int t = 6; t < 30; ++t) EXPECT_FALSE(At(t, 3000).DriftKnown) << t;
  THealthFigures F = At(30, 3000);
  ASSERT_TRUE(F.DriftKnown);
  EXPECT_DOUBLE_EQ(F.DriftSeconds, 20.0);
  EXPECT_DOUBLE_EQ(F.DriftPerMinute, -60.0);
  EXPECT_NEAR(F.CpuPercent, 1.0, 1e-9);

  // An underrun at 40 s, and 600 frames the output gives up after it.
  EXPECT_TRUE(At(39, 3000).DriftKnown);
  F = At(40, 3000, 1);
  EXPECT_FALSE(F.DriftKnown);
  EXPECT_EQ(F.Underruns, 1u);
  EXPECT_EQ(HealthText(F).Drift, "Clock drift: settling after an xrun");
  EXPECT_FALSE(At(41, 3600, 1).DriftKnown);
  for (int t = 42; t < 70; ++t) EXPECT_FALSE(At(t, 3600, 1).DriftKnown) << t;
  F = At(70, 3600, 1);
  ASSERT_TRUE(F.DriftKnown);
  EXPECT_DOUBLE_EQ(F.DriftPerMinute, -60.0);
  EXPECT_EQ(HealthText(F).Drift, "Clock drift: -60.0 samples/min");

  // The next run: its own counters, no base yet, the CPU share since its start.
  S = Running();
  S.RunStartNs += 1000 * Second;
  F = At(15);
  EXPECT_FALSE(F.DriftKnown);
  EXPECT_EQ(HealthText(F).Drift, "Clock drift: measuring\u2026");
  EXPECT_EQ(F.Underruns, 0u);
  EXPECT_NEAR(F.CpuPercent, 1.0, 1e-9);
}

}  // namespace
}  // namespace quellmarin
