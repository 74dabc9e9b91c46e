// One 2000-sample block through the engine's pipeline (TFFT::ProcessBlock with
// the filter on) at the filter lengths the program designs: 146 taps (the first
// design), about 600, and 5000 (the longest). The reference is the same
// pipeline, on the same engine's buffers and spectrum analysis, filtering with
// liquid-dsp's firfilt_rrrf one sample at a time (push + execute) with the same
// taps. Both run in the same iterations, timed as this thread's CPU time.
//
// Counters: taps (the design's actual length); ours_us and liquid_us per block;
// ours_fraction and liquid_fraction of the 100 ms block period; ratio =
// ours / liquid (below 1: ours is faster).

#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "app/Engine.h"

namespace {

using namespace quellmarin;

constexpr int32_t kBlock = 2000;
constexpr int32_t kRate = 20000;
constexpr double kBlockPeriodUs = 1e6 * kBlock / kRate;

double ThreadNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

std::vector<int16_t> Input() {
  std::vector<int16_t> x(kBlock);
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> noise(-2000, 2000);
  for (int i = 0; i < kBlock; ++i)
    x[static_cast<size_t>(i)] =
        static_cast<int16_t>(170 + std::lround(8000 * std::sin(2 * M_PI * 440.0 * i / kRate)) + noise(gen));
  return x;
}

// A low pass at 1000 Hz whose transition width gives the tap count nearest to
// Taps: the design's length falls as the width grows, so search the width.
void DesignNear(TFFT& engine, int32_t Taps) {
  int32_t bestWidth = 1, bestErr = 1 << 30;
  int32_t lo = 1, hi = 4000;
  while (lo <= hi) {
    const int32_t mid = (lo + hi) / 2;
    engine.SetFilter(ftLowPass, mid, 1000);
    const int32_t len = engine.FResponseFilter->FilterLength();
    if (std::abs(len - Taps) < bestErr) {
      bestErr = std::abs(len - Taps);
      bestWidth = mid;
    }
    if (len > Taps)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  engine.SetFilter(ftLowPass, bestWidth, 1000);
  engine.UpdateFilterResponse();
  engine.FLiveFilter = engine.FResponseFilter;  // the pipeline filters with this design
}

void BM_EngineBlock(benchmark::State& state) {
  TComponent owner(nullptr);
  TFFT engine;
  engine.Init(&owner, kBlock, kRate, ftLowPass, 0);
  DesignNear(engine, static_cast<int32_t>(state.range(0)));
  const TTImeSignal& taps = engine.FLiveFilter->Taps();
  std::vector<float> h(taps.Data, taps.Data + taps.Length);
  firfilt_rrrf q = firfilt_rrrf_create(h.data(), static_cast<unsigned>(h.size()));

  const std::vector<int16_t> input = Input();
  std::vector<int16_t> block(kBlock);
  double oursNs = 0, liquidNs = 0;
  for (auto _ : state) {
    std::memcpy(block.data(), input.data(), sizeof(int16_t) * kBlock);
    const double t0 = ThreadNs();
    engine.ProcessBlock(block.data(), kBlock, true);
    const double t1 = ThreadNs();
    benchmark::DoNotOptimize(block.data());

    // The same steps with liquid-dsp's filter in place of FilterBlock.
    std::memcpy(block.data(), input.data(), sizeof(int16_t) * kBlock);
    const double t2 = ThreadNs();
    {
      std::memcpy(engine.FSamples, block.data(), sizeof(int16_t) * kBlock);
      float* signal = engine.FLivePoint->TimeSignal->Data;
      for (int32_t i = 0; i < kBlock; ++i) signal[i] = static_cast<float>(engine.FSamples[i] - TFFT::SampleOffset);
      for (int32_t i = 0; i < kBlock; ++i) {
        firfilt_rrrf_push(q, signal[i]);
        firfilt_rrrf_execute(q, &signal[i]);
      }
      engine.ComputeSpectrum();
      for (int32_t i = 0; i < kBlock; ++i) engine.FSamples[i] = ToSample(signal[i]);
      std::memcpy(block.data(), engine.FSamples, sizeof(int16_t) * kBlock);
    }
    const double t3 = ThreadNs();
    benchmark::DoNotOptimize(block.data());
    oursNs += t1 - t0;
    liquidNs += t3 - t2;
    state.SetIterationTime((t1 - t0 + t3 - t2) * 1e-9);
  }
  firfilt_rrrf_destroy(q);
  const double n = static_cast<double>(state.iterations());
  state.counters["taps"] = static_cast<double>(h.size());
  state.counters["ours_us"] = oursNs / n / 1e3;
  state.counters["liquid_us"] = liquidNs / n / 1e3;
  state.counters["ours_fraction"] = oursNs / n / 1e3 / kBlockPeriodUs;
  state.counters["liquid_fraction"] = liquidNs / n / 1e3 / kBlockPeriodUs;
  state.counters["ratio"] = oursNs / liquidNs;
}

// The pipeline without the filter (conversion and spectrum only), for the
// share of the block that is not filtering.
void BM_EngineBlockUnfiltered(benchmark::State& state) {
  TComponent owner(nullptr);
  TFFT engine;
  engine.Init(&owner, kBlock, kRate, ftLowPass, 0);
  const std::vector<int16_t> input = Input();
  std::vector<int16_t> block(kBlock);
  for (auto _ : state) {
    std::memcpy(block.data(), input.data(), sizeof(int16_t) * kBlock);
    engine.ProcessBlock(block.data(), kBlock, false);
    benchmark::DoNotOptimize(block.data());
  }
}

BENCHMARK(BM_EngineBlock)->Name("EngineBlock")->Arg(146)->Arg(600)->Arg(5000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineBlockUnfiltered)->Name("EngineBlock/unfiltered")->Unit(benchmark::kMicrosecond);

}  // namespace
