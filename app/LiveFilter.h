#pragma once
// The live path's filter: a design made off the audio path and handed over
// whole, and the pipeline step that filters with it and changes designs
// without a click.
//
// A TLiveFilter is built on the UI thread (it allocates the taps, the delay
// line and the FFT plans) from the taps of the measured response filter, and
// published to the stage. The stage takes it at the next block boundary,
// fills its delay line from the recent input, runs old and new filter over
// that block and crossfades from the old output to the new one over the
// first CrossfadeSamples. Switching the filter on or off crossfades between
// the dry and the filtered signal the same way. A design the stage no longer
// uses goes to a retire ring, from which the UI thread frees it: nothing is
// allocated or freed on the live loop's thread.

#include <atomic>
#include <cstdint>
#include <memory>

#include "app/Engine.h"
#include "dsplib/NDSP.h"

namespace quellmarin {

class TLiveFilter {
public:
  // Copies Taps[0 .. Count - 1] and prepares a filter state with an empty
  // history. Throws std::invalid_argument (no taps) or std::bad_alloc.
  TLiveFilter(const float* Taps, int32_t Count);
  TLiveFilter(const TLiveFilter&) = delete;
  TLiveFilter& operator=(const TLiveFilter&) = delete;

  int32_t TapsLen() const { return FState.TapsLen(); }
  // What the filter adds to the offset-free signal so that the offset comes
  // out scaled by the gain at 0 Hz: (sum of taps - 1) x SampleOffset.
  float OffsetShare() const { return FOffsetShare; }
  // Filters Count samples from In to Out (may be the same) and adds the
  // offset share. Allocates nothing.
  void Filter(const float* In, float* Out, int32_t Count);
  // Replaces the whole history with the last samples of History (oldest
  // first, Count samples; zeros stand before it when Count is short).
  // Scratch holds at least Count floats. Allocates nothing.
  void Prime(const float* History, int32_t Count, float* Scratch);

private:
  TFirState FState;
  float FOffsetShare = 0.0f;
};

class TLiveFilterStage final : public TFFT::TBlockFilter {
public:
  static constexpr int32_t MaxBlock = TFFT::MaxBlockSamples;
  // Input history kept for new filters: more than the longest design.
  static constexpr int32_t HistoryLen = 8192;
  static constexpr int32_t CrossfadeSamples = 200;  // 10 ms at 20 kHz
  static constexpr int32_t RetireSlots = 16;

  TLiveFilterStage();
  ~TLiveFilterStage() override;

  // UI thread. Hands a new design over; a design published earlier that the
  // stage has not taken yet is freed here.
  void Publish(std::unique_ptr<TLiveFilter> Filter);
  // UI thread. Frees the designs the stage has let go of.
  void CollectRetired();
  // Any thread. Takes effect at the next block, with a crossfade.
  void SetEnabled(bool Enabled) { FWantEnabled.store(Enabled, std::memory_order_relaxed); }
  bool Enabled() const { return FWantEnabled.load(std::memory_order_relaxed); }

  // Live loop's thread, while stopped: forgets the input history (a new run
  // starts from silence) and settles the on/off state without a fade.
  void Restart();
  // Live loop's thread.
  void FilterBlock(float* Data, int32_t Count) override;
  // Live loop's thread: the design in use (nullptr before the first).
  const TLiveFilter* Current() const { return FCurrent; }
  // Filter changes and on/off switches crossfaded so far (any thread).
  uint64_t Crossfades() const { return FCrossfades.load(std::memory_order_relaxed); }

  // The crossfade weight of the new signal at sample i of the fade.
  static float FadeWeight(int32_t i);

private:
  void Retire(TLiveFilter* Filter);
  void PushHistory(const float* In, int32_t Count);

  std::atomic<TLiveFilter*> FPending{nullptr};
  std::atomic<bool> FWantEnabled{false};
  TLiveFilter* FCurrent = nullptr;  // owned, live loop's thread
  bool FEnabled = false;
  std::atomic<uint64_t> FCrossfades{0};

  // Retire ring: written by the live loop, emptied by the UI thread.
  TLiveFilter* FRetired[RetireSlots] = {};
  std::atomic<uint32_t> FRetireHead{0};  // next slot the loop writes
  std::atomic<uint32_t> FRetireTail{0};  // next slot the UI frees

  std::unique_ptr<float[]> FHistory;  // HistoryLen, oldest first
  std::unique_ptr<float[]> FIn;       // MaxBlock
  std::unique_ptr<float[]> FOld;      // MaxBlock
  std::unique_ptr<float[]> FScratch;  // HistoryLen
};

}  // namespace quellmarin
