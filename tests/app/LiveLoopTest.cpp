// The live loop without a window: the click-free filter stage against an
// offline reference, the splice that absorbs clock drift, the loop on the
// virtual card's manual clock with a faster and a slower output clock, and
// design changes from another thread while the loop runs.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "LoopRig.h"
#include "app/LiveLoop.h"
#include "app/Utils.h"
#include "platform/MessageQueue.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {
namespace {

constexpr int32_t kBlock = 2000;
constexpr int32_t kRate = 20000;

std::vector<int16_t> Noise(int32_t Count, unsigned Seed, int Amplitude = 6000) {
  std::mt19937 gen(Seed);
  std::uniform_int_distribution<int> d(-Amplitude, Amplitude);
  std::vector<int16_t> v(static_cast<size_t>(Count));
  for (auto& s : v) s = static_cast<int16_t>(d(gen));
  return v;
}

// A design of the engine's response side, as the window makes it.
std::vector<float> Design(TFFT& Engine, TFilterType Type, int32_t Width, int32_t Centre) {
  Engine.SetFilter(Type, Width, Centre);
  Engine.UpdateFilterResponse();  // the delta runs through the response filter
  const TTImeSignal& taps = Engine.FResponseFilter->Taps();
  return std::vector<float>(taps.Data, taps.Data + taps.Length);
}

// An offline filter over a whole stream, with the offset scaled by its DC gain.
std::vector<double> Reference(const std::vector<float>& Taps, const std::vector<int16_t>& Stream) {
  double gain = 0.0;
  for (float t : Taps) gain += t;
  std::vector<double> out(Stream.size());
  for (size_t n = 0; n < Stream.size(); ++n) {
    double acc = 0.0;
    for (size_t k = 0; k < Taps.size() && k <= n; ++k) acc += Taps[k] * (Stream[n - k] - TFFT::SampleOffset);
    out[n] = acc + (gain - 1.0) * TFFT::SampleOffset;
  }
  return out;
}

// Across a change of design, and across switching the filter on and off, the
// live output equals the offline reference: old and new filter each run over
// the whole stream, the new one faded in over the first samples of the block
// at which it was taken. Nothing of the response measurement shows in it.
TEST(LiveFilterStage, ChangesFadeBetweenFiltersThatKnowTheWholeHistory) {
  TComponent owner(nullptr);
  TFFT engine;
  engine.Init(&owner, kBlock, kRate, ftLowPass, 0);
  const std::vector<float> a = Design(engine, ftLowPass, 300, 1000);
  const std::vector<float> b = Design(engine, ftBandPass, 300, 2500);
  const std::vector<int16_t> stream = Noise(6 * kBlock, 7);
  const std::vector<double> refA = Reference(a, stream), refB = Reference(b, stream);
  std::vector<double> dry(stream.size());
  for (size_t n = 0; n < stream.size(); ++n) dry[n] = stream[n] - TFFT::SampleOffset;

  // Block: 0 fade dry -> a (the first design), 1 filter a, 2 fade a -> b, 3 fade b -> dry (off), 4 dry, 5 fade dry -> b (on).
  struct Step {
    const std::vector<double>* From;
    const std::vector<double>* To;
  };
  const Step steps[] = {{&dry, &refA}, {&refA, &refA}, {&refA, &refB}, {&refB, &dry}, {&dry, &dry}, {&dry, &refB}};
  TLiveFilterStage stage;
  stage.SetEnabled(true);
  stage.Publish(std::make_unique<TLiveFilter>(a.data(), static_cast<int32_t>(a.size())));
  int worst = 0;
  for (int blk = 0; blk < 6; ++blk) {
    if (blk == 2) {
      // Measuring the new design runs the delta through the response filter.
      Design(engine, ftBandPass, 300, 2500);
      stage.Publish(std::make_unique<TLiveFilter>(b.data(), static_cast<int32_t>(b.size())));
    }
    if (blk == 3) stage.SetEnabled(false);
    if (blk == 5) stage.SetEnabled(true);
    std::vector<int16_t> block(stream.begin() + blk * kBlock, stream.begin() + (blk + 1) * kBlock);
    engine.ProcessBlock(block.data(), kBlock, &stage);
    for (int i = 0; i < kBlock; ++i) {
      const size_t n = static_cast<size_t>(blk * kBlock + i);
      const double w = i < TLiveFilterStage::CrossfadeSamples ? TLiveFilterStage::FadeWeight(i) : 1.0;
      const double expected = (*steps[blk].From)[n] * (1.0 - w) + (*steps[blk].To)[n] * w + TFFT::SampleOffset;
      const int err = std::abs(block[i] - static_cast<int>(std::lround(std::clamp(expected, -32768.0, 32767.0))));
      worst = std::max(worst, err);
      ASSERT_LE(err, 1) << "block " << blk << ", sample " << i;
    }
  }
  EXPECT_EQ(stage.Crossfades(), 4u);
  stage.CollectRetired();
}

// The splice removes or repeats a stretch with a short fade at the join and
// leaves both ends of the block as they were.
TEST(LiveLoopSplice, DropsAndPadsKeepTheEndsOfTheBlock) {
  std::vector<int16_t> in(kBlock);
  for (int i = 0; i < kBlock; ++i) in[i] = static_cast<int16_t>(i);
  std::vector<int16_t> out(2 * kBlock);
  const int32_t join = kBlock / 4, fade = TLiveLoop::SpliceFade;
  for (int32_t delta : {-800, -300, 300, 800}) {
    SCOPED_TRACE(delta);
    const int32_t n = TLiveLoop::Splice(in.data(), kBlock, delta, out.data());
    ASSERT_EQ(n, kBlock + delta);
    for (int i = 0; i < join; ++i) ASSERT_EQ(out[i], in[i]);
    for (int i = 1; i <= kBlock - join - std::abs(delta) - fade; ++i) ASSERT_EQ(out[n - i], in[kBlock - i]);
    // A ramp stays a ramp through the fade: no jump anywhere.
    for (int i = 1; i < n; ++i) ASSERT_LE(std::abs(out[i] - out[i - 1]), std::abs(delta) / fade + 2) << i;
  }
}

// The loop on the manual clock, with the window's part played by the test.
class LiveLoopCard : public TLoopRig {
protected:
  // One block in; the loop must have finished with it before the output's
  // clock moves on.
  void Block() {
    const uint64_t before = loop->Handled();
    card->FillInput(1);
    for (int i = 0; i < 20000 && loop->Handled() <= before; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_GT(loop->Handled(), before);
  }
};

// Ten minutes of audio with an output clock 2 % slower and 2 % faster than
// the input's: the backlog and with it the delay stay bounded, the output
// never runs dry, and what it costs is counted.
TEST_F(LiveLoopCard, ClockDriftKeepsTheBacklogBounded) {
  for (double ratio : {0.98, 1.02}) {
    SCOPED_TRACE(ratio);
    ASSERT_TRUE(loop->Start());
    const int chunk = 200;
    double owed = 0.0;
    int64_t largest = 0;
    for (int k = 0; k < 6000; ++k) {
      Block();
      largest = std::max(largest, loop->Backlog());
      owed += ratio * kBlock / chunk;
      const int finish = static_cast<int>(owed);
      owed -= finish;
      card->FinishOutput(finish);
    }
    EXPECT_EQ(loop->Blocks(), 6000u);
    EXPECT_EQ(loop->Underruns(), 0u);
    // Bounded: the reserve, one block and what a second of drift adds.
    EXPECT_LE(largest, TLiveLoop::DefaultReserve + kBlock + 1000);
    // 2 % of ten minutes is 240 000 samples. The card plays whole output
    // buffers, some of them short (the ends of spliced blocks), so its clock
    // is only near the ratio: the figures are printed.
    if (ratio < 1) {
      EXPECT_GT(loop->DroppedFrames(), 100000);
      EXPECT_EQ(loop->PaddedFrames(), 0);
    } else {
      EXPECT_GT(loop->PaddedFrames(), 100000);
      EXPECT_EQ(loop->DroppedFrames(), 0);
    }
    std::printf("output clock x%.2f: largest backlog %lld samples, dropped %lld, padded %lld, dry %llu, "
                "held %lld\n", ratio, static_cast<long long>(largest), static_cast<long long>(loop->DroppedFrames()),
                static_cast<long long>(loop->PaddedFrames()), static_cast<unsigned long long>(loop->Underruns()),
                static_cast<long long>(card->HeldOutputBuffers()));
    loop->Stop();
  }
}

// The window changes the design every few milliseconds while blocks flow:
// designs are built and freed on this thread, taken on the loop's thread.
// ThreadSanitizer runs this.
TEST_F(LiveLoopCard, DesignsChangeWhileBlocksFlow) {
  loop->SetFilterEnabled(true);
  ASSERT_TRUE(loop->Start());
  std::atomic<bool> done{false};
  std::thread clock([&] {
    for (int k = 0; k < 200; ++k) {
      Block();
      card->FinishOutput(10);
    }
    done = true;
  });
  int designs = 0;
  while (!done) {
    const std::vector<float> taps = Design(engine, designs % 2 ? ftHighPass : ftBandPass, 200 + designs % 300,
                                           500 + 37 * (designs % 100));
    loop->PublishFilter(std::make_unique<TLiveFilter>(taps.data(), static_cast<int32_t>(taps.size())));
    loop->CollectRetired();
    if (const TLiveSnapshot* s = loop->TakeSnapshot()) {
      EXPECT_LE(s->Block, loop->Blocks());
    }
    loop->SetTriggerOn(designs % 7 == 0);
    loop->RequestEqualize();
    ++designs;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  clock.join();
  loop->Stop();
  EXPECT_GT(loop->Stage().Crossfades(), 10u);
  EXPECT_EQ(loop->Underruns(), 0u);
}

}  // namespace
}  // namespace quellmarin
